// Message boxes for code below the user interface. The interface installs a handler that
// shows a real dialog; until then (and in tests) a replaceable handler decides.
#pragma once

#include <functional>
#include <string>

namespace Platform {

// Flag values keep their Windows numbers.
inline constexpr unsigned kMbOk = 0x0;
inline constexpr unsigned kMbOkCancel = 0x1;
inline constexpr unsigned kMbAbortRetryIgnore = 0x2;
inline constexpr unsigned kMbYesNoCancel = 0x3;
inline constexpr unsigned kMbYesNo = 0x4;
inline constexpr unsigned kMbRetryCancel = 0x5;
inline constexpr unsigned kMbTypeMask = 0xF;  // the button set
inline constexpr unsigned kMbIconMask = 0xF0;
inline constexpr unsigned kMbIconError = 0x10;
inline constexpr unsigned kMbIconQuestion = 0x20;
inline constexpr unsigned kMbIconWarning = 0x30;
inline constexpr unsigned kMbIconInformation = 0x40;
inline constexpr unsigned kMbSystemModal = 0x1000;

inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdAbort = 3;
inline constexpr int kIdRetry = 4;
inline constexpr int kIdIgnore = 5;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// The answer of a box of the flags' button set that is closed without a button: Cancel
// where the set has one, No for Yes/No, Abort for Abort/Retry/Ignore, else OK.
int ClosedAnswer(unsigned flags);

using MessageBoxHandler =
    std::function<int(const std::string& text, const std::string& caption, unsigned flags)>;

// Shows a message box through the installed handler; an empty caption stands for the
// application's title. Without one the text goes to the standard error stream and the
// answer is what closing the box gives (see ClosedAnswer).
int MessageBox(const std::string& text, const std::string& caption, unsigned flags);
// Installs a handler (null restores the default); returns the previous one.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

}  // namespace Platform
