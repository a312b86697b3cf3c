// Message boxes for code below the user interface. The interface installs a handler that
// shows a real dialog; until then (and in tests) a replaceable handler decides.
#pragma once

#include <functional>
#include <string>

namespace Platform {

// Flag values keep their Windows numbers.
inline constexpr unsigned kMbOk = 0x0;
inline constexpr unsigned kMbOkCancel = 0x1;
inline constexpr unsigned kMbYesNo = 0x4;
inline constexpr unsigned kMbIconError = 0x10;
inline constexpr unsigned kMbIconQuestion = 0x20;
inline constexpr unsigned kMbIconWarning = 0x30;
inline constexpr unsigned kMbIconInformation = 0x40;
inline constexpr unsigned kMbSystemModal = 0x1000;

inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

using MessageBoxHandler =
    std::function<int(const std::string& text, const std::string& caption, unsigned flags)>;

// Shows a message box through the installed handler; an empty caption stands for the
// application's title. Without one the text goes to the
// standard error stream and the answer is OK (or No for a Yes/No question).
int MessageBox(const std::string& text, const std::string& caption, unsigned flags);
// Installs a handler (null restores the default); returns the previous one.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

}  // namespace Platform
