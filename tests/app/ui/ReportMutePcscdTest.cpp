// The system-information dialog against a PC/SC service that accepts the connection and
// never answers. Its own program: pcsc-lite takes the service's address once per process.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "Heartbeat.h"
#include "PcscRig.h"
#include "SystemInformationDialog.h"
#include "UiTestSupport.h"

namespace {

// The dialog opens at once and the window keeps its pulse; the report says the service
// could not be reached (the fault: the dialog's constructor waited for good).
TEST(ReportMutePcscdTest, DialogOpensAtOnceAndReportsTheService) {
  TvrTest::MutePcscd mute;
  ::setenv("PCSCLITE_CSOCK_NAME", mute.SocketPath().c_str(), 1);
  UiTest::ProfileSandbox sandbox;
  UiTest::ScriptedUserPort port;
  SystemInfoProbes probes;  // the PC/SC sections ask the service itself
  probes.root = std::string(TVR_SERVICES_FIXTURE_DIR) + "/sysinfo";
  probes.unitProperties = [](const std::string&) { return std::map<std::string, std::string>(); };

  // Should the dialog wait after all, the service goes away after a while, so that the
  // test ends (and fails) instead of hanging.
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  std::thread rescue([&] {
    std::unique_lock<std::mutex> guard(lock);
    if (!finished.wait_for(guard, std::chrono::seconds(20), [&] { return done; })) mute.HangUp();
  });

  Heartbeat beat;
  QTest::qWait(30);
  beat.Reset();
  SystemInformationDialog dialog(port, probes);
  dialog.show();
  EXPECT_FALSE(dialog.CopyButton()->isEnabled());
  // The service gets a few seconds; the rescue comes only after 20.
  const bool ready = QTest::qWaitFor([&] { return dialog.ReportReady(); }, 15000);
  const qint64 gap = beat.LongestGapMs();
  {
    std::lock_guard<std::mutex> guard(lock);
    done = true;
  }
  finished.notify_all();
  rescue.join();
  ASSERT_TRUE(ready);
  EXPECT_LT(gap, 1000);
  EXPECT_NE(dialog.Report().find("Smart card reader(s):\r\nFailed SCardEstablishContext. Errorcode: "),
            std::string::npos);
  EXPECT_TRUE(dialog.CopyButton()->isEnabled());
  EXPECT_GE(mute.Connections(), 1);
}

}  // namespace
