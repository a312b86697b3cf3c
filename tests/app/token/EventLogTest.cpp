#include "EventLog.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/EventLog.h"
#include "platform/MessageBox.h"
#include "platform/Profile.h"

namespace {

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tvr-eventlog-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    ::setenv("TVR_SYSTEM_CONFIG_DIR", (root_ + "/none").c_str(), 1);
    Platform::SetEventSink(sink_);
    Platform::RegisterEventSource();
  }
  void TearDown() override {
    Platform::DeregisterEventSource();
    Platform::SetEventSink(nullptr);
    Platform::SetMessageBoxHandler(nullptr);
    std::filesystem::remove_all(root_);
  }
  void SetLevel(int level) { ASSERT_TRUE(Platform::Profile().WriteInt("", "EventLogLevel", level)); }

  std::string root_;
  std::shared_ptr<Platform::RecordingEventSink> sink_ =
      std::make_shared<Platform::RecordingEventSink>();
};

TEST_F(EventLogTest, LevelDecidesWhichTypesAreWritten) {
  struct Case {
    int level;
    bool error, warning, information;
  };
  const Case cases[] = {
      {0, false, false, false}, {1, true, false, false}, {2, true, true, false},
      {3, true, true, true},    {4, false, false, false}, {-1, false, false, false},
  };
  for (const Case& c : cases) {
    SetLevel(c.level);
    sink_->Clear();
    LogEvent(EVENTLOG_ERROR_TYPE, "e");
    LogEvent(EVENTLOG_WARNING_TYPE, "w");
    LogEvent(EVENTLOG_INFORMATION_TYPE, "i");
    std::vector<std::string> expected;
    if (c.error) expected.push_back("e");
    if (c.warning) expected.push_back("w");
    if (c.information) expected.push_back("i");
    EXPECT_EQ(sink_->Texts(), expected) << "level " << c.level;
  }
}

TEST_F(EventLogTest, NoSettingMeansNothingAndChangesApplyAtOnce) {
  LogEvent(EVENTLOG_ERROR_TYPE, "before");
  SetLevel(1);
  LogEvent(EVENTLOG_ERROR_TYPE, "after");
  ASSERT_TRUE(Platform::Profile().WriteString("", "EventLogLevel", "3"));  // wrong type: default 0
  LogEvent(EVENTLOG_ERROR_TYPE, "string");
  EXPECT_EQ(sink_->Texts(), std::vector<std::string>{"after"});
  auto entries = sink_->Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].type, EVENTLOG_ERROR_TYPE);
}

TEST_F(EventLogTest, NothingWithoutEventSource) {
  SetLevel(3);
  Platform::DeregisterEventSource();
  LogEvent(EVENTLOG_ERROR_TYPE, "x");
  EXPECT_TRUE(sink_->Texts().empty());
}

TEST(Win32ErrorText, SystemTextThenCodeTextOrCodeTextAlone) {
  EXPECT_EQ(Win32ErrorText(5), "Access is denied.\n(Hibakód: 0x5)");
  EXPECT_EQ(Win32ErrorText(0x8010001Du),
            "The Smart Card Resource Manager is not running.\n(Hibakód: 0x8010001D)");
  EXPECT_EQ(Win32ErrorText(0xABCDEFu), "Hibakód: 0xABCDEF");
}

TEST_F(EventLogTest, ShowErrorLogsAndTellsTheUser) {
  SetLevel(1);
  std::vector<std::pair<std::string, unsigned>> shown;
  Platform::SetMessageBoxHandler([&](const std::string& text, const std::string&, unsigned flags) {
    shown.emplace_back(text, flags);
    return Platform::kIdOk;
  });
  ShowError("CertOpenStore", 2);
  EXPECT_EQ(sink_->Texts(), std::vector<std::string>{"CertOpenStore error: 2"});
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].first, "The system cannot find the file specified.\n(Hibakód: 0x2)");
  EXPECT_EQ(shown[0].second & 0xF0u, Platform::kMbIconError);
}

}  // namespace
