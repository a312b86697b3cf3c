// The program itself on the full road: a private pcscd with the virtual reader and a
// scripted card, the test module posing as the Gemalto module over SoftHSM2. However the
// program ends (SIGTERM, SIGHUP, the display going away, even kill -9 followed by a new
// start), none of the card's certificates may stay in the store once the card is gone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "CardTokenWriter.h"
#include "P11Rig.h"
#include "PcscRig.h"
#include "UiTestSupport.h"
#include "platform/CertStore.h"

namespace {

constexpr const char* kAtr = "3B0A54415652454E49433031";

bool OnPath(const char* tool) { return TvrTest::RunCommand({"sh", "-c", std::string("command -v ") + tool}) == 0; }

// The environment with these variables set (an empty value removes one).
std::vector<std::string> EnvironmentWith(const std::map<std::string, std::string>& changes) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    if (!changes.count(text.substr(0, text.find('=')))) env.push_back(text);
  }
  for (const auto& [name, value] : changes)
    if (!value.empty()) env.push_back(name + "=" + value);
  return env;
}

// Starts argv[0] (looked up on PATH) with that environment; everything is prepared before
// the fork (the test process has threads). Output is dropped; the child dies with us.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int displayFd = -1) {
  std::vector<char*> args, envp;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (displayFd == 3) ::fcntl(3, F_SETFD, 0);
    else if (displayFd >= 0) ::dup2(displayFd, 3);
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(null);
  return pid;
}

// A helper process of ours, killed by its PID at the end.
class Helper {
 public:
  Helper(const std::vector<std::string>& argv, const std::string& display, int displayFd = -1)
      : pid_(Spawn(argv, EnvironmentWith({{"DISPLAY", display}}), displayFd)) {}
  ~Helper() { Kill(); }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// A private X server; Display() is empty when it did not start.
class PrivateDisplay {
 public:
  PrivateDisplay() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    server_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", "3", "-screen", "0", "800x600x24", "-nolisten",
                                             "tcp"},
                    "", fds[1]);
    ::close(fds[1]);
    std::string number;
    pollfd readable{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&readable, 1, 5000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  const std::string& Display() const { return display_; }
  void Kill() { server_.reset(); }

 private:
  std::optional<Helper> server_;
  std::string display_;
};

class ProgramRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TvrTest::PcscSocketPath();  // before any PC/SC call: never the machine's pcscd
    if (const std::string reason = TvrTest::PcscRigUnavailableReason(); !reason.empty()) GTEST_SKIP() << reason;
    std::ofstream(sandbox_.Root() + "/system/Tavrenic/smartcards.conf") << "[Classic TPC]\nATR = " << kAtr << "\n";
    std::ofstream(sandbox_.Root() + "/user/Tavrenic/kelmardin.conf")
        << "\"ShowSplashScreen\"=dword:00000000\n\"Language\"=\"HUN\"\n";
    try {
      pcscd_.Start();
    } catch (const TvrTest::PcscRigUnavailable& e) {
      GTEST_SKIP() << e.what();
    }
    TvrTest::TokenSpec token;
    token.label = "Card0";
    token.withKeyAndCertificate = false;
    tokens_.AddToken(token);
    UiTest::WriteCardObject(dir_.Path(), "Card0", UiTest::EncryptionLeaf("Road"), "01");
    TvrTest::ShimOptions options;
    options.readers = {{"Card0", TvrTest::PrivatePcscd::ReaderName(0)}};
    options.version = "2.20";  // the program loads vendor modules of the versions it knows
    shim_.emplace("libgclib.so", options);
  }

  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    card_.reset();
    pcscd_.Stop();
  }

  // On Qt's offscreen platform, or on the X server of that display.
  void StartProgram(const std::string& display = "") {
    std::map<std::string, std::string> changes = {{"QT_QPA_PLATFORM", "offscreen"}};
    if (!display.empty()) {
      // The tray of that display, not a desktop session's.
      changes = {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display}, {"SESSION_MANAGER", ""},
                 {"DBUS_SESSION_BUS_ADDRESS", ""}};
    }
    pid_ = Spawn({TVR_KELMARDIN_PATH}, EnvironmentWith(changes));
    ASSERT_GT(pid_, 0);
  }

  // The program's exit status, once it has ended (at most 10 s).
  std::optional<int> WaitForExit() {
    int status = -1;
    if (!WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(10)))
      return std::nullopt;
    pid_ = -1;
    return status;
  }

  void InsertCard() {
    card_ = std::make_unique<TvrTest::ScriptedCard>(pcscd_, 0, TvrTest::HexBytes(kAtr));
    card_->Insert();
  }

  static size_t StoreSize() {
    std::vector<Platform::CertContextPtr> all;
    auto store = Platform::CertStore::OpenSystem("MY");
    if (store) store->Enumerate(all);
    return all.size();
  }

  static bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
  }

  UiTest::ProfileSandbox sandbox_;
  TvrTest::TempDir dir_;
  TvrTest::PrivatePcscd pcscd_;
  TvrTest::SoftHsmTokens tokens_;
  std::optional<TvrTest::InstalledShim> shim_;
  std::unique_ptr<TvrTest::ScriptedCard> card_;
  pid_t pid_ = -1;
};

TEST_F(ProgramRoadTest, TerminationSignalsWithACardInUnregisterItsCertificates) {
  InsertCard();
  for (int signal : {SIGTERM, SIGHUP}) {
    StartProgram();
    ASSERT_TRUE(WaitFor([] { return StoreSize() == 1; }, std::chrono::seconds(30))) << signal;
    ::kill(pid_, signal);
    const std::optional<int> status = WaitForExit();
    ASSERT_TRUE(status) << signal;
    ASSERT_TRUE(WIFEXITED(*status)) << signal << " " << *status;
    EXPECT_EQ(WEXITSTATUS(*status), 0) << signal;
    EXPECT_EQ(StoreSize(), 0u) << signal;
  }
}

// The usual end of an X11 session: the display goes away and Qt ends the process at once.
TEST_F(ProgramRoadTest, LossOfTheDisplayUnregistersTheCertificates) {
  if (!OnPath("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
  PrivateDisplay display;
  ASSERT_FALSE(display.Display().empty());
  InsertCard();
  StartProgram(display.Display());
  ASSERT_TRUE(WaitFor([] { return StoreSize() == 1; }, std::chrono::seconds(30)));
  display.Kill();
  const std::optional<int> status = WaitForExit();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status)) << *status;
  EXPECT_EQ(StoreSize(), 0u);
}

// Killed with a card registered, then started again after the card left: the store is
// cleaned before detection starts; a card present at that start is registered again.
TEST_F(ProgramRoadTest, RegistrationsOfAKilledRunGoAtTheNextStart) {
  InsertCard();
  StartProgram();
  ASSERT_TRUE(WaitFor([] { return StoreSize() == 1; }, std::chrono::seconds(30)));
  ::kill(pid_, SIGKILL);
  ASSERT_TRUE(WaitForExit());
  card_->Remove();
  EXPECT_EQ(StoreSize(), 1u);  // what the killed run left

  StartProgram();
  EXPECT_TRUE(WaitFor([] { return StoreSize() == 0; }, std::chrono::seconds(20)));
  ::kill(pid_, SIGKILL);
  ASSERT_TRUE(WaitForExit());

  card_->Insert();
  StartProgram();
  ASSERT_TRUE(WaitFor([] { return StoreSize() == 1; }, std::chrono::seconds(30)));
  ::kill(pid_, SIGTERM);
  ASSERT_TRUE(WaitForExit());
  EXPECT_EQ(StoreSize(), 0u);
}

// At log-in the tray host often starts after the program: the icon must appear in it.
TEST_F(ProgramRoadTest, TrayThatStartsLaterGetsTheIcon) {
  for (const char* tool : {"Xvfb", "trayer", "xwininfo"})
    if (!OnPath(tool)) GTEST_SKIP() << tool << " is not installed";
  PrivateDisplay display;
  ASSERT_FALSE(display.Display().empty());
  // Whether one of the program's windows sits inside the tray's panel.
  auto iconInTray = [&] {
    std::string tree;
    if (TvrTest::RunCommand({"sh", "-c", "DISPLAY=" + display.Display() + " xwininfo -root -tree"}, &tree) != 0)
      return false;
    std::istringstream lines(tree);
    std::string line;
    size_t panelIndent = std::string::npos;
    while (std::getline(lines, line)) {
      const size_t indent = line.find_first_not_of(' ');
      if (line.find("(\"panel\" \"trayer\")") != std::string::npos) {
        panelIndent = indent;
      } else if (panelIndent != std::string::npos && indent != std::string::npos && indent <= panelIndent) {
        panelIndent = std::string::npos;
      } else if (panelIndent != std::string::npos && line.find("(\"kelmardin\"") != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  StartProgram(display.Display());
  std::string names;
  ASSERT_TRUE(WaitFor([&] {
    TvrTest::RunCommand({"sh", "-c", "DISPLAY=" + display.Display() + " xwininfo -root -tree"}, &names);
    return names.find("TAVRENIC - Olvanta Zavadorerido") != std::string::npos;
  }, std::chrono::seconds(30)));
  EXPECT_FALSE(iconInTray());
  Helper tray({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120", "--height",
               "24"},
              display.Display());
  EXPECT_TRUE(WaitFor(iconInTray, std::chrono::seconds(15)));
  ::kill(pid_, SIGTERM);
  EXPECT_TRUE(WaitForExit());
}

}  // namespace
