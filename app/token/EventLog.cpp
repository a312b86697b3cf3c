#include "EventLog.h"

#include <cstdio>

#include "platform/EventLog.h"
#include "platform/LastError.h"
#include "platform/MessageBox.h"
#include "Strings.h"
#include "platform/Profile.h"

namespace {

thread_local std::optional<uint32_t> tHeldLevel;

uint32_t ReadLevel() { return Platform::Profile().GetDword("", "EventLogLevel", 0); }

}  // namespace

EventLogLevelScope::EventLogLevelScope() : outer_(tHeldLevel) {
  if (!tHeldLevel) tHeldLevel = ReadLevel();
}

EventLogLevelScope::~EventLogLevelScope() { tHeldLevel = outer_; }

bool EventLogAdmits(uint16_t eventType) {
  const uint32_t level = tHeldLevel ? *tHeldLevel : ReadLevel();
  switch (level) {
    case 1: return eventType == EVENTLOG_ERROR_TYPE;
    case 2: return eventType == EVENTLOG_ERROR_TYPE || eventType == EVENTLOG_WARNING_TYPE;
    case 3:
      return eventType == EVENTLOG_ERROR_TYPE || eventType == EVENTLOG_WARNING_TYPE ||
             eventType == EVENTLOG_INFORMATION_TYPE;
    default: return false;
  }
}

void LogEvent(uint16_t eventType, const std::string& text) {
  if (!Platform::HasEventSource()) return;
  if (!EventLogAdmits(eventType)) return;
  Platform::ReportEvent(eventType, text);
}

std::string Win32ErrorText(uint32_t code) {
  char codeText[64];
  std::snprintf(codeText, sizeof codeText, Res::Text(Res::StringId::ErrorCodeText).c_str(), code);
  if (auto system = Platform::SystemErrorText(code)) {
    return *system + "(" + codeText + ")";
  }
  return codeText;
}

void ShowError(const std::string& operation, int code) {
  LogEvent(EVENTLOG_ERROR_TYPE, operation + " error: " + std::to_string(code));
  Platform::MessageBox(Win32ErrorText(static_cast<uint32_t>(code)), "", Platform::kMbIconError);
}
