#include "platform/EventLog.h"

#include <gtest/gtest.h>

namespace {

TEST(EventSource, EntriesAreDroppedWithoutASource) {
  auto sink = std::make_shared<Platform::RecordingEventSink>();
  Platform::SetEventSink(sink);
  Platform::DeregisterEventSource();
  Platform::ReportEvent(Platform::kEventError, "dropped");
  Platform::RegisterEventSource();
  Platform::ReportEvent(Platform::kEventError, "kept");
  Platform::DeregisterEventSource();
  Platform::SetEventSink(nullptr);
  EXPECT_EQ(sink->Texts(), std::vector<std::string>{"kept"});
}

// The text goes to syslog as data: printf directives in it must not be interpreted
// (a "%n" taken as a format would write through a garbage pointer).
TEST(EventSource, SyslogTakesTextAsData) {
  Platform::SetEventSink(nullptr);
  Platform::RegisterEventSource();
  Platform::ReportEvent(Platform::kEventError, "%s%s%s%s%n%n %08x");
  Platform::ReportEvent(Platform::kEventInformation, "plain");
  Platform::DeregisterEventSource();
  SUCCEED();
}

}  // namespace
