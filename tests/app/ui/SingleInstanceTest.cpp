#include <gtest/gtest.h>

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <thread>

#include "DataFolderLock.h"
#include "ProgramProcess.h"
#include "SingleInstance.h"
#include "UiTestSupport.h"
#include "platform/Profile.h"

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

// $XDG_RUNTIME_DIR names another private folder for the object's life: a start from
// another session of the user, with the same data folder.
class OtherSession {
 public:
  explicit OtherSession(const std::string& root) : saved_(std::getenv("XDG_RUNTIME_DIR")) {
    const std::string folder = root + "/runtime-other";
    std::filesystem::create_directories(folder);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
  }
  ~OtherSession() { ::setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1); }

 private:
  std::string saved_;
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

// A start while the running instance is ending is not lost: it waits until the old one
// has let go, and runs.
TEST_F(SingleInstanceTest, StartWhileTheInstanceEndsWaitsAndTakesOver) {
  SingleInstance first;
  ASSERT_EQ(first.Acquire(), SingleInstance::Result::First);
  first.StopListening();
  QSignalSpy activations(&first, &SingleInstance::activationRequested);
  std::thread ending([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    first.Release();
  });
  SingleInstance second;
  EXPECT_EQ(second.Acquire(), SingleInstance::Result::First);
  ending.join();
  EXPECT_EQ(activations.count(), 0);
  // The new instance listens: a third start asks it.
  EXPECT_TRUE(QFile::exists(second.ServerName()));
}

// The running copy's runtime folder is not the new start's: the data folder's lock still
// finds it, and the program started there asks it to show itself and ends.
TEST_F(SingleInstanceTest, StartFromAnotherSessionAsksTheCopyThatHoldsTheDataFolder) {
  SingleInstance first;
  ASSERT_EQ(first.Acquire(), SingleInstance::Result::First);
  QSignalSpy activations(&first, &SingleInstance::activationRequested);
  OtherSession other(sandbox.Root());
  QProcess second;
  StartProgram(second);
  const bool ended = QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 30000);
  if (!ended) second.kill();
  ASSERT_TRUE(ended) << "the second start runs beside the first";
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return activations.count() == 1; }, 5000));
}

// From another session, a start while the copy ends waits for it and runs.
TEST_F(SingleInstanceTest, StartFromAnotherSessionWhileTheCopyEndsTakesOver) {
  SingleInstance first;
  ASSERT_EQ(first.Acquire(), SingleInstance::Result::First);
  first.StopListening();
  std::thread ending([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    first.Release();
  });
  OtherSession other(sandbox.Root());
  SingleInstance second;
  EXPECT_EQ(second.Acquire(), SingleInstance::Result::First);
  ending.join();
}

// The data folder held by a copy that cannot be asked (on another computer sharing the
// home folder): the start fails, and its text names the folder and the holder; the
// runtime folder's lock is let go again.
TEST_F(SingleInstanceTest, DataFolderHeldByACopyElsewhereFailsAndSaysWhy) {
  ASSERT_TRUE(Platform::Profile().WriteDword("", "EventLogLevel", 1));
  std::filesystem::create_directories(DataFolderLock::Folder());
  const int held = ::open(DataFolderLock::Path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const std::string holder = "elsewhere.example\n4242\n/run/user/1000/kelmardin-{6f1c2a9e-3b7d-4e58-9a0c-d2e41b7f5c63}.sock\n";
  ASSERT_EQ(::write(held, holder.data(), holder.size()), static_cast<ssize_t>(holder.size()));
  sandbox.events->Clear();
  {
    SingleInstance instance;
    EXPECT_EQ(instance.Acquire(), SingleInstance::Result::Failed);
    const std::string text = instance.FailureText().toStdString();
    for (const std::string& part : {DataFolderLock::Folder(), std::string("elsewhere.example"), std::string("4242")})
      EXPECT_NE(text.find(part), std::string::npos) << part << " not in: " << text;
    const auto events = sandbox.events->Texts();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_NE(events[0].find(text), std::string::npos) << events[0];
  }
  ::close(held);
  SingleInstance next;
  EXPECT_EQ(next.Acquire(), SingleInstance::Result::First);
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

// Without $XDG_RUNTIME_DIR the lock lives in <temporary folder>/kelmardin-<uid>, a name
// anyone can take first. Only the user's own directory that nobody else may write to is
// used (made private); anything else is refused with an error event, which the program
// reports as a failed start.
TEST_F(SingleInstanceTest, TemporaryFolderMustBeTheUsersOwn) {
  ASSERT_TRUE(Platform::Profile().WriteDword("", "EventLogLevel", 1));
  const std::string tmp = sandbox.Root() + "/tmp";
  const std::string runtime = std::getenv("XDG_RUNTIME_DIR");
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string savedTmp = oldTmp ? oldTmp : "";
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("TMPDIR", tmp.c_str(), 1);
  const std::string folder = tmp + "/kelmardin-" + std::to_string(::getuid());
  const passwd* nobody = ::getpwnam("nobody");

  const std::string nobodyId = nobody ? std::to_string(nobody->pw_uid) : "";
  // `reason`: what the failure text says is wrong, after the folder's name.
  struct Case {
    const char* name;
    std::function<void()> make;
    SingleInstance::Result expected;
    std::string reason;
  } cases[] = {
      {"missing", [] {}, SingleInstance::Result::First, ""},
      {"own, readable by others", [&] { ::mkdir(folder.c_str(), 0755); }, SingleInstance::Result::First, ""},
      {"link to an own folder",
       [&] {
         EXPECT_EQ(::mkdir((tmp + "/elsewhere").c_str(), 0700), 0);
         EXPECT_EQ(::symlink((tmp + "/elsewhere").c_str(), folder.c_str()), 0);
       },
       SingleInstance::Result::Failed, "szimbolikus hivatkozás, nem mappa."},
      {"file", [&] { std::ofstream(folder) << "x"; }, SingleInstance::Result::Failed, "nem mappa."},
      {"group-writable",
       [&] {
         ::mkdir(folder.c_str(), 0700);
         ::chmod(folder.c_str(), 0770);
       },
       SingleInstance::Result::Failed, "mások is írhatják (jogosultságok: 0770)."},
      {"world-writable and sticky",
       [&] {
         ::mkdir(folder.c_str(), 0700);
         ::chmod(folder.c_str(), 01777);
       },
       SingleInstance::Result::Failed, "mások is írhatják (jogosultságok: 1777)."},
      {"another user's",
       [&] {
         ::mkdir(folder.c_str(), 0700);
         if (::geteuid() == 0 && nobody) {
           EXPECT_EQ(::chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
         }
       },
       ::geteuid() == 0 && nobody ? SingleInstance::Result::Failed : SingleInstance::Result::First,
       "más felhasználó tulajdona (felhasználó-azonosító: " + nobodyId + ")."},
  };
  for (const Case& c : cases) {
    std::error_code error;
    std::filesystem::remove_all(tmp, error);
    std::filesystem::create_directories(tmp);
    c.make();
    sandbox.events->Clear();
    {
      SingleInstance instance;
      EXPECT_EQ(instance.Acquire(), c.expected) << c.name;
      if (c.expected == SingleInstance::Result::Failed) {
        EXPECT_EQ(instance.FailureText().toStdString(), "A(z) " + folder + " mappa nem használható: " + c.reason)
            << c.name;
      }
    }
    struct stat st;
    if (c.expected == SingleInstance::Result::First) {
      ASSERT_EQ(::lstat(folder.c_str(), &st), 0) << c.name;
      EXPECT_TRUE(S_ISDIR(st.st_mode)) << c.name;
      EXPECT_EQ(st.st_mode & 07777, 0700u) << c.name;
    } else {
      const auto texts = sandbox.events->Texts();
      EXPECT_EQ(texts.size(), 1u) << c.name;
      if (!texts.empty()) {
        EXPECT_NE(texts[0].find(folder), std::string::npos) << c.name << ": " << texts[0];
        EXPECT_NE(texts[0].find(c.reason), std::string::npos) << c.name << ": " << texts[0];
      }
      EXPECT_FALSE(std::filesystem::exists(tmp + "/elsewhere/kelmardin-{6f1c2a9e-3b7d-4e58-9a0c-d2e41b7f5c63}.lock"))
          << c.name;
    }
  }
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  if (oldTmp) ::setenv("TMPDIR", savedTmp.c_str(), 1);
  else ::unsetenv("TMPDIR");
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
