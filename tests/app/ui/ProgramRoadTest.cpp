// The program itself on the full road: a private pcscd with the virtual reader and a
// scripted card, the test module posing as the Gemalto module over SoftHSM2. However the
// program ends (SIGTERM, SIGHUP, the display going away, even kill -9 followed by a new
// start), none of the card's certificates may stay in the store once the card is gone,
// and SIGTERM ends it in seconds whatever the OCSP responders do. And a PC/SC service
// that never answers: SIGTERM ends the program at every point of its start-up.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "CardTokenWriter.h"
#include "NetRig.h"
#include "P11Rig.h"
#include "PcscRig.h"
#include "ProgramRig.h"
#include "UiTestSupport.h"
#include "platform/CertStore.h"

namespace {

using namespace UiTest;

constexpr const char* kAtr = "3B0A54415652454E49433031";

// Sends the signal and waits (at most `limit`) for the end: the exit status, or nothing.
std::optional<int> Terminate(pid_t pid, std::chrono::milliseconds limit, std::chrono::milliseconds* took,
                             int signal = SIGTERM) {
  const auto start = std::chrono::steady_clock::now();
  ::kill(pid, signal);
  int status = -1;
  const auto end = start + limit;
  bool ended = false;
  while (!(ended = ::waitpid(pid, &status, WNOHANG) == pid) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  *took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  if (!ended) return std::nullopt;
  return status;
}

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
  void StartProgram(const std::string& display = "", const std::map<std::string, std::string>& extra = {}) {
    std::map<std::string, std::string> changes = {{"QT_QPA_PLATFORM", "offscreen"}};
    if (!display.empty()) {
      // The tray of that display, not a desktop session's.
      changes = {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display}, {"SESSION_MANAGER", ""},
                 {"DBUS_SESSION_BUS_ADDRESS", ""}};
    }
    changes.insert(extra.begin(), extra.end());
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

  // The program's record of what it registered (empty once nothing is).
  static std::string RecordText() {
    const std::string stores = Platform::CertStore::StoresDirectory();
    std::ifstream file(stores + "/MY/.kelmardin.registered");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
  // Sends `signal` and expects the program gone within 3 s, cleanly, with nothing left in
  // the store or the record; `after` runs once the wait is over, whatever came of it.
  void ExpectEndsInSeconds(int signal, const std::function<void()>& after = nullptr) {
    std::chrono::milliseconds took{0};
    const std::optional<int> status = Terminate(pid_, std::chrono::seconds(15), &took, signal);
    if (after) after();
    ASSERT_TRUE(status) << signal << ": still running after 15 s";
    pid_ = -1;
    EXPECT_LT(took, std::chrono::seconds(3)) << signal;
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << signal << ": " << *status;
    EXPECT_EQ(StoreSize(), 0u) << signal;
    EXPECT_EQ(RecordText(), "") << signal;
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

// pcscd stops answering with a card registered (stopped, as a hung service is): each
// termination signal still ends the program in seconds, and nothing stays registered
// (the fault: the end cancelled the card monitor's wait on the interface thread, and
// that call never returned).
TEST_F(ProgramRoadTest, TerminationSignalsWithAHungPcscdEndInSeconds) {
  InsertCard();
  for (int signal : {SIGTERM, SIGHUP}) {
    StartProgram();
    ASSERT_TRUE(WaitFor([] { return StoreSize() == 1; }, std::chrono::seconds(30))) << signal;
    ASSERT_FALSE(RecordText().empty());
    ASSERT_EQ(::kill(pcscd_.Pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ExpectEndsInSeconds(signal, [&] { ::kill(pcscd_.Pid(), SIGCONT); });
    if (HasFatalFailure()) return;
  }
}

// The card's objects come slowly at insertion (20 s for each step of the search): the
// termination signal ends the program in seconds with nothing registered (the fault: the
// end waited for the card monitor, which went on reading object after object).
TEST_F(ProgramRoadTest, SigtermWhileTheCardIsReadSlowlyEndsInSeconds) {
  shim_->SetOption("delay_us.C_FindObjects", "20000000");
  shim_->ClearLog();
  InsertCard();
  StartProgram();
  ASSERT_TRUE(WaitFor([&] { return shim_->CountCalls("C_FindObjects") >= 1; }, std::chrono::seconds(30)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ExpectEndsInSeconds(SIGTERM);
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

// A signing certificate whose four OCSP responders accept the request and never answer
// (the fault: 30 s per address, two minutes, past a desktop's stop limit).
TEST_F(ProgramRoadTest, SigtermDuringStalledRevocationChecksEndsInSeconds) {
  TvrTest::HttpTestServer responders;
  const TvrTest::TestPki& pki = TvrTest::TestPki::Get();
  TvrTest::CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=Stalled";
  std::string aia;
  for (int i = 1; i <= 4; ++i) aia += (i > 1 ? "," : "") + ("OCSP;URI:" + responders.Base() + "/stall/" + std::to_string(i));
  spec.extensions = {{"keyUsage", "critical,digitalSignature"}, {"authorityInfoAccess", aia}};
  UiTest::WriteCardObject(dir_.Path(), "Card0", TvrTest::CertBuilder::Issue(spec, &pki.Intermediate()), "03");
  // The chain must reach the root for the responders to be asked.
  for (const auto& [name, item] : {std::pair<const char*, const TvrTest::PkiItem*>{"ROOT", &pki.Root()},
                                   {"CA", &pki.Intermediate()}}) {
    const std::vector<unsigned char> der = item->Der();
    auto context = Platform::CertContext::Create(der.data(), der.size());
    ASSERT_TRUE(context && Platform::CertStore::OpenSystem(name)->Add(*context, Platform::CertAddDisposition::ReplaceExisting));
  }
  std::ofstream(sandbox_.Root() + "/bundle.crt").close();
  InsertCard();
  StartProgram("", {{"TVR_TRUST_BUNDLE", sandbox_.Root() + "/bundle.crt"}});
  ASSERT_TRUE(WaitFor([&] { return !responders.Requests().empty(); }, std::chrono::seconds(30)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  ExpectEndsInSeconds(SIGTERM);
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

// A second start from another session (its own runtime folder, so it cannot see the
// first copy's single-instance lock) with the same data folder: it hands over to the
// running copy and ends, and the first copy's registrations stay in the store and in the
// record (the fault: it ran as a first copy and took them out at its start).
TEST_F(ProgramRoadTest, SecondCopyFromAnotherSessionLeavesTheFirstsRegistrationsAlone) {
  InsertCard();
  StartProgram();
  ASSERT_TRUE(WaitFor([] { return StoreSize() == 1; }, std::chrono::seconds(30)));
  const std::string record = RecordText();
  ASSERT_FALSE(record.empty());
  const std::string runtime = sandbox_.Root() + "/runtime2";
  ASSERT_TRUE(std::filesystem::create_directory(runtime));
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
  const pid_t second = Spawn({TVR_KELMARDIN_PATH},
                             EnvironmentWith({{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_RUNTIME_DIR", runtime}}));
  ASSERT_GT(second, 0);
  // The store is watched all along: the second copy must not take the certificate out
  // even for a moment (a copy that runs registers it again once it reads the card).
  size_t lowest = 1;
  int status = -1;
  const bool ended = WaitFor([&] {
    lowest = std::min(lowest, StoreSize());
    return ::waitpid(second, &status, WNOHANG) == second;
  }, std::chrono::seconds(20));
  if (!ended) {
    ::kill(second, SIGKILL);
    ::waitpid(second, nullptr, 0);
  }
  EXPECT_TRUE(ended) << "the second copy still runs";
  EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(lowest, 1u);
  EXPECT_EQ(StoreSize(), 1u);
  EXPECT_EQ(RecordText(), record);
  EXPECT_EQ(::kill(pid_, 0), 0) << "the first copy is gone";
  ExpectEndsInSeconds(SIGTERM);
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

// The README's picture of the main window: the program itself on an X server, with a
// card in the virtual reader that the shipped smart-card database recognises (a Classic
// TPC answer-to-reset), written to <build>/screenshots/program-main-window.png
// (scripts/screenshots.sh copies it to docs/main-window.png).
TEST_F(ProgramRoadTest, MainWindowWithACardOnTheDesktop) {
  for (const char* tool : {"Xvfb", "xdotool", "import"})
    if (!OnPath(tool)) GTEST_SKIP() << tool << " is not installed";
  std::filesystem::copy_file(std::string(TVR_SOURCE_DIR) + "/res/smartcards.conf",
                             sandbox_.Root() + "/system/Tavrenic/smartcards.conf",
                             std::filesystem::copy_options::overwrite_existing);
  shim_->SetOption("token_label", "Minta Anna");
  shim_->SetOption("token_model", "Classic TPC IM");
  PrivateDisplay display;
  ASSERT_FALSE(display.Display().empty());
  card_ = std::make_unique<TvrTest::ScriptedCard>(
      pcscd_, 0, TvrTest::HexBytes("3B 6D 00 00 80 31 80 65 B0 83 11 22 33 83 00 90 00"));
  card_->Insert();
  StartProgram(display.Display());
  ASSERT_TRUE(WaitFor([] { return StoreSize() == 1; }, std::chrono::seconds(30)));
  std::string window;
  ASSERT_TRUE(WaitFor([&] {
    TvrTest::RunCommand({"sh", "-c", "DISPLAY=" + display.Display() +
                                         " xdotool search --onlyvisible --name '^TAVRENIC - Olvanta Zavadorerido$'"},
                        &window);
    return !window.empty();
  }, std::chrono::seconds(30)));
  window = window.substr(0, window.find('\n'));
  // The registration balloon's text leaves the status line after a few seconds.
  std::this_thread::sleep_for(std::chrono::seconds(6));
  std::filesystem::create_directories(TVR_SCREENSHOT_DIR);
  const std::string shot = std::string(TVR_SCREENSHOT_DIR) + "/program-main-window.png";
  std::filesystem::remove(shot);
  std::string output;
  EXPECT_EQ(TvrTest::RunCommand({"sh", "-c", "DISPLAY=" + display.Display() + " import -window " + window + " '" +
                                                 shot + "'"},
                                &output),
            0)
      << output;
  EXPECT_TRUE(std::filesystem::exists(shot));
}

// A PC/SC service that takes the connection and never answers, from the start: SIGTERM
// inside the first wait for it, during the waiting dialog, and with the window up (the
// fault: no window ever, and SIGTERM ignored). Needs no root.
TEST(ProgramMuteServiceTest, SigtermEndsTheProgramAtEveryPointOfStartUp) {
  UiTest::ProfileSandbox sandbox;
  std::ofstream(sandbox.Root() + "/user/Tavrenic/kelmardin.conf")
      << "\"ShowSplashScreen\"=dword:00000000\n\"Language\"=\"HUN\"\n\"WaitForSCardSvr2\"=dword:00000002\n";
  TvrTest::MutePcscd mute;
  // From the program's first connection to the service: inside that first wait, during
  // the waiting dialog (after the 3 s deadline; each look at the service takes 3 s), with
  // the window up.
  for (int afterMs : {100, 4000, 18000}) {
    const int connections = mute.Connections();
    const pid_t pid = Spawn({TVR_KELMARDIN_PATH}, EnvironmentWith({{"QT_QPA_PLATFORM", "offscreen"},
                                                                   {"PCSCLITE_CSOCK_NAME", mute.SocketPath()}}));
    ASSERT_GT(pid, 0);
    const auto asked = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (mute.Connections() == connections && std::chrono::steady_clock::now() < asked)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (mute.Connections() == connections) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      FAIL() << "the program never asked the service";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    std::chrono::milliseconds took{0};
    const std::optional<int> status = Terminate(pid, std::chrono::seconds(10), &took);
    if (!status) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    ASSERT_TRUE(status) << "SIGTERM " << afterMs << " ms after the start: still running after 10 s";
    EXPECT_LT(took, std::chrono::seconds(3)) << afterMs;
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << afterMs << ": " << *status;
  }
}

}  // namespace
