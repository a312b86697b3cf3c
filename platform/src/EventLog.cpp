#include "platform/EventLog.h"

#include <syslog.h>

#include <atomic>

#include "platform/Process.h"

namespace Platform {

namespace {

class SyslogSink : public IEventSink {
 public:
  void Report(uint16_t type, const std::string& text) override {
    int priority = type == kEventError ? LOG_ERR : type == kEventWarning ? LOG_WARNING : LOG_INFO;
    // The text is data, never a format.
    ::syslog(priority, "%s", text.c_str());
  }
};

std::mutex g_lock;
std::shared_ptr<IEventSink> g_sink;
std::atomic<bool> g_registered{false};
std::string g_ident;  // syslog keeps the pointer: it must outlive openlog's use

std::shared_ptr<IEventSink> CurrentSink() {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_sink) g_sink = std::make_shared<SyslogSink>();
  return g_sink;
}

}  // namespace

void RegisterEventSource() {
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_registered) return;
  if (g_ident.empty()) g_ident = ExecutableBaseName();
  ::openlog(g_ident.c_str(), LOG_PID, LOG_USER);
  g_registered = true;
}

void DeregisterEventSource() {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_registered) return;
  g_registered = false;
  ::closelog();
}

bool HasEventSource() { return g_registered; }

void ReportEvent(uint16_t type, const std::string& text) {
  if (!g_registered) return;
  CurrentSink()->Report(type, text);
}

void SetEventSink(std::shared_ptr<IEventSink> sink) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_sink = std::move(sink);
}

void RecordingEventSink::Report(uint16_t type, const std::string& text) {
  std::lock_guard<std::mutex> lock(lock_);
  entries_.push_back(Entry{type, text});
}

std::vector<RecordingEventSink::Entry> RecordingEventSink::Entries() const {
  std::lock_guard<std::mutex> lock(lock_);
  return entries_;
}

std::vector<std::string> RecordingEventSink::Texts() const {
  std::lock_guard<std::mutex> lock(lock_);
  std::vector<std::string> out;
  for (const auto& e : entries_) out.push_back(e.text);
  return out;
}

void RecordingEventSink::Clear() {
  std::lock_guard<std::mutex> lock(lock_);
  entries_.clear();
}

}  // namespace Platform
