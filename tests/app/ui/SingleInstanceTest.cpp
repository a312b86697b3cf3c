#include <gtest/gtest.h>

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <fstream>

#include "ProgramProcess.h"
#include "SingleInstance.h"
#include "UiTestSupport.h"

namespace {

class SingleInstanceTest : public ::testing::Test {
 protected:
  SingleInstanceTest() {
    // No question at start-up, no splash, no wait for a smart-card service.
    std::ofstream(sandbox.Root() + "/user/Tavrenic/kelmardin.conf")
        << "\"Language\"=\"HUN\"\n\"ShowSplashScreen\"=dword:00000000\n"
           "\"WaitForSCardSvr\"=dword:00000000\n\"WaitForSCardSvr2\"=dword:00000000\n";
  }
  void StartProgram(QProcess& process) { UiTest::StartProgram(process); }
  UiTest::ProfileSandbox sandbox;
};

TEST_F(SingleInstanceTest, SecondProcessActivatesTheFirstAndExitsZero) {
  SingleInstance first;
  ASSERT_EQ(first.Acquire(), SingleInstance::Result::First);
  QSignalSpy activations(&first, &SingleInstance::activationRequested);
  QProcess second;
  StartProgram(second);
  // The first instance answers from its event loop while the second waits for it.
  ASSERT_TRUE(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 30000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(activations.count(), 1);
}

TEST_F(SingleInstanceTest, ReleasedInstanceLetsTheNextOneIn) {
  SingleInstance first;
  ASSERT_EQ(first.Acquire(), SingleInstance::Result::First);
  first.Release();
  SingleInstance second;
  EXPECT_EQ(second.Acquire(), SingleInstance::Result::First);
}

TEST_F(SingleInstanceTest, LiveHolderThatCannotAnswerStillMeansAnotherRuns) {
  SingleInstance first;
  ASSERT_EQ(first.Acquire(), SingleInstance::Result::First);
  // The holder is busy (no event loop runs here): the second one still gives way.
  SingleInstance second;
  EXPECT_EQ(second.Acquire(), SingleInstance::Result::AnotherRuns);
}

TEST_F(SingleInstanceTest, LockOfAKilledInstanceIsTakenOver) {
  QProcess program;
  StartProgram(program);
  // Wait until the program holds the lock and listens.
  SingleInstance probe;
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(probe.ServerName()); }, 30000));
  program.kill();
  program.waitForFinished(10000);
  ASSERT_TRUE(QFile::exists(probe.LockPath()));
  SingleInstance next;
  EXPECT_EQ(next.Acquire(), SingleInstance::Result::First);
}

TEST_F(SingleInstanceTest, ProgramEndsCleanlyOnSigterm) {
  QProcess program;
  StartProgram(program);
  SingleInstance probe;
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(probe.ServerName()); }, 30000));
  program.terminate();
  ASSERT_TRUE(program.waitForFinished(10000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  // The instance is gone: the next start is the first again.
  SingleInstance next;
  EXPECT_EQ(next.Acquire(), SingleInstance::Result::First);
}

}  // namespace
