// The program itself against a smart-card service that takes the connection and never
// answers, with a vendor module that, like real ones, establishes a PC/SC context in its
// C_Initialize (the fault: the module waited on the interface thread for pcsc-lite's
// lock, which the program's own abandoned helper kept; no window ever, SIGTERM, SIGHUP
// and the display's loss ignored). The program's event log reaches the test through the
// syslog catcher preloaded into it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "CardTokenWriter.h"
#include "P11Rig.h"
#include "PcscRig.h"
#include "ProgramRig.h"
#include "UiTestSupport.h"
#include "platform/CertStore.h"

namespace {

using namespace UiTest;
using Clock = std::chrono::steady_clock;

constexpr const char* kAtr = "3B0A54415652454E49433031";
// What the monitor logs when its context meets the silent service: the window is up.
constexpr const char* kDetectionTimedOut = "SCardEstablishContext returned: 8010000A";

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

class ProgramMuteStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(sandbox_.Root() + "/user/Tavrenic/kelmardin.conf")
        << "\"ShowSplashScreen\"=dword:00000000\n\"Language\"=\"HUN\"\n\"EventLogLevel\"=dword:00000003\n"
           "\"WaitForSCardSvr\"=dword:00000000\n\"WaitForSCardSvr2\"=dword:00000001\n";
    TvrTest::ShimOptions options;
    options.version = "2.20";
    options.pcscInInitialize = true;
    waiting_.emplace("libbit4ipki.so", options);
    log_ = sandbox_.Root() + "/events.log";
  }

  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void StartProgram(const std::string& socket) {
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    // The catcher comes before the sanitiser's runtime.
    asan += std::string(asan.empty() ? "" : ":") + "verify_asan_link_order=0";
    pid_ = Spawn({TVR_KELMARDIN_PATH}, EnvironmentWith({{"QT_QPA_PLATFORM", "offscreen"},
                                                        {"PCSCLITE_CSOCK_NAME", socket},
                                                        {"LD_PRELOAD", TVR_SYSLOG_CATCHER_PATH},
                                                        {"TVR_SYSLOG_FILE", log_},
                                                        {"ASAN_OPTIONS", asan}}));
    ASSERT_GT(pid_, 0);
  }

  std::string Events() const {
    std::ifstream in(log_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  bool Logged(const std::string& text) const { return Events().find(text) != std::string::npos; }

  // Sends the signal; the exit status once the program has ended within `limit`.
  std::optional<int> EndWith(int signal, std::chrono::milliseconds limit, std::chrono::milliseconds* took) {
    const auto start = Clock::now();
    ::kill(pid_, signal);
    int status = -1;
    bool ended = false;
    while (!(ended = ::waitpid(pid_, &status, WNOHANG) == pid_) && Clock::now() - start < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    *took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    if (!ended) return std::nullopt;
    pid_ = -1;
    return status;
  }

  UiTest::ProfileSandbox sandbox_;
  TvrTest::SoftHsmTokens tokens_;
  std::optional<TvrTest::InstalledShim> waiting_;  // the module that waits for the service
  std::string log_;
  pid_t pid_ = -1;
};

// SIGTERM while the module waits inside its C_Initialize; SIGHUP once the window is up.
// Needs no root.
TEST_F(ProgramMuteStartTest, SignalsEndTheProgramWhileAModuleWaitsForTheService) {
  TvrTest::MutePcscd mute;
  for (int signal : {SIGTERM, SIGHUP}) {
    waiting_->ClearLog();
    std::remove(log_.c_str());
    StartProgram(mute.SocketPath());
    if (signal == SIGTERM) {
      ASSERT_TRUE(WaitFor([&] { return waiting_->CountCalls("C_Initialize") > 0; }, std::chrono::seconds(30)))
          << "the module was never started";
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    } else {
      ASSERT_TRUE(WaitFor([&] { return Logged(kDetectionTimedOut); }, std::chrono::seconds(45)))
          << "no window; the program logged:\n" << Events();
      // The waiting dialog came first (one second of it), then the window without the module.
      EXPECT_TRUE(Logged("Waiting for SCardSvr")) << Events();
      EXPECT_TRUE(Logged("SCardSvr has unknown running status")) << Events();
      EXPECT_TRUE(Logged("Module did not start in time, left behind: libbit4ipki.so")) << Events();
    }
    std::chrono::milliseconds took{0};
    const std::optional<int> status = EndWith(signal, std::chrono::seconds(10), &took);
    ASSERT_TRUE(status) << signal << ": still running 10 s after the signal";
    EXPECT_LT(took, std::chrono::seconds(3)) << signal;
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << signal << ": " << *status;
  }
}

// The service comes back (the mute socket gives way to a real pcscd on the same path)
// after the window came up without it: the monitor's restart picks it up and the card
// in the reader is registered through the other vendor's module.
TEST_F(ProgramMuteStartTest, ServiceThatComesBackIsPickedUp) {
  const std::string socket = TvrTest::PcscSocketPath();
  if (const std::string reason = TvrTest::PcscRigUnavailableReason(); !reason.empty()) GTEST_SKIP() << reason;
  std::ofstream(sandbox_.Root() + "/system/Tavrenic/smartcards.conf") << "[Classic TPC]\nATR = " << kAtr << "\n";
  TvrTest::TempDir objects;
  TvrTest::TokenSpec token;
  token.label = "Card0";
  token.withKeyAndCertificate = false;
  tokens_.AddToken(token);
  UiTest::WriteCardObject(objects.Path(), "Card0", UiTest::EncryptionLeaf("Back"), "01");
  TvrTest::ShimOptions options;
  options.readers = {{"Card0", TvrTest::PrivatePcscd::ReaderName(0)}};
  options.version = "2.20";
  TvrTest::InstalledShim gemalto("libgclib.so", options);

  std::optional<TvrTest::MutePcscd> mute(std::in_place, socket);
  StartProgram(socket);
  ASSERT_TRUE(WaitFor([&] { return Logged(kDetectionTimedOut); }, std::chrono::seconds(45)))
      << "no window; the program logged:\n" << Events();
  mute.reset();
  TvrTest::PrivatePcscd pcscd;
  try {
    pcscd.Start();
  } catch (const TvrTest::PcscRigUnavailable& e) {
    GTEST_SKIP() << e.what();
  }
  TvrTest::ScriptedCard card(pcscd, 0, TvrTest::HexBytes(kAtr));
  card.Insert();
  auto storeSize = [] {
    std::vector<Platform::CertContextPtr> all;
    auto store = Platform::CertStore::OpenSystem("MY");
    if (store) store->Enumerate(all);
    return all.size();
  };
  // The restart comes every 10 s.
  EXPECT_TRUE(WaitFor([&] { return storeSize() == 1; }, std::chrono::seconds(30))) << Events();
  std::chrono::milliseconds took{0};
  const std::optional<int> status = EndWith(SIGTERM, std::chrono::seconds(10), &took);
  ASSERT_TRUE(status) << "still running 10 s after SIGTERM";
  EXPECT_LT(took, std::chrono::seconds(3));
  EXPECT_EQ(storeSize(), 0u);
  card.Remove();
  pcscd.Stop();
}

}  // namespace
