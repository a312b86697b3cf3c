// The program's event-log entries and the texts of Windows-numbered error codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

inline constexpr uint16_t EVENTLOG_ERROR_TYPE = 1;
inline constexpr uint16_t EVENTLOG_WARNING_TYPE = 2;
inline constexpr uint16_t EVENTLOG_INFORMATION_TYPE = 4;

// The "EventLogLevel" rule, read afresh from the profile on every call (unless a scope
// below holds it): level 1 admits errors, 2 errors and warnings, 3 everything; 0 and any
// other value nothing.
bool EventLogAdmits(uint16_t eventType);

// Holds the "EventLogLevel" on this thread for the scope's life: a search that logs a line
// per skipped item reads the profile once, not once per item. Scopes nest.
class EventLogLevelScope {
 public:
  EventLogLevelScope();
  ~EventLogLevelScope();
  EventLogLevelScope(const EventLogLevelScope&) = delete;
  EventLogLevelScope& operator=(const EventLogLevelScope&) = delete;

 private:
  std::optional<uint32_t> outer_;
};

// Writes one entry when the event source is registered and the rule admits it.
void LogEvent(uint16_t eventType, const std::string& text);

// The user's text for a Windows-numbered error code: the system text (with its line
// break) followed by "(Hibakód: 0x..)", or the code text alone for an unknown code.
std::string Win32ErrorText(uint32_t code);

// Logs "<operation> error: <code>" and tells the user the code's text.
void ShowError(const std::string& operation, int code);
