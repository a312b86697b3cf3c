// The program's one event source. Entries go to syslog (ident: the executable's base
// name) or, in tests, to a sink of the test's choosing. Which entries are written at all
// is the caller's rule; this layer writes what it is given while a source is registered.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Platform {

inline constexpr uint16_t kEventError = 1;        // EVENTLOG_ERROR_TYPE
inline constexpr uint16_t kEventWarning = 2;      // EVENTLOG_WARNING_TYPE
inline constexpr uint16_t kEventInformation = 4;  // EVENTLOG_INFORMATION_TYPE

class IEventSink {
 public:
  virtual ~IEventSink() = default;
  virtual void Report(uint16_t type, const std::string& text) = 0;
};

// Registers the event source (opens syslog). Registering again keeps the first source.
void RegisterEventSource();
void DeregisterEventSource();
bool HasEventSource();

// Writes one entry when a source is registered; dropped silently otherwise.
void ReportEvent(uint16_t type, const std::string& text);

// Replaces where entries go (null restores syslog). For tests.
void SetEventSink(std::shared_ptr<IEventSink> sink);

// A sink that keeps every entry; thread-safe.
class RecordingEventSink : public IEventSink {
 public:
  struct Entry {
    uint16_t type;
    std::string text;
    bool operator==(const Entry&) const = default;
  };
  void Report(uint16_t type, const std::string& text) override;
  std::vector<Entry> Entries() const;
  std::vector<std::string> Texts() const;
  void Clear();

 private:
  mutable std::mutex lock_;
  std::vector<Entry> entries_;
};

}  // namespace Platform
