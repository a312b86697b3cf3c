// The program itself on the full road: a private pcscd with the virtual reader and a
// scripted card, the test module posing as the Gemalto module over SoftHSM2. SIGTERM
// while the card is in must leave none of its certificates in the store, in seconds,
// whatever the OCSP responders do. And a PC/SC service that never answers: SIGTERM ends
// the program at every point of its start-up.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "CardTokenWriter.h"
#include "NetRig.h"
#include "P11Rig.h"
#include "PcscRig.h"
#include "UiTestSupport.h"
#include "platform/CertStore.h"

namespace {

constexpr const char* kAtr = "3B0A54415652454E49433031";

// The program, on Qt's offscreen platform, with these variables set.
pid_t StartKelmardin(const std::vector<std::pair<std::string, std::string>>& environment = {}) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    ::execl(TVR_KELMARDIN_PATH, TVR_KELMARDIN_PATH, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// Sends SIGTERM and waits (at most `limit`) for the end: the exit status, or nothing.
std::optional<int> Terminate(pid_t pid, std::chrono::milliseconds limit, std::chrono::milliseconds* took) {
  const auto start = std::chrono::steady_clock::now();
  ::kill(pid, SIGTERM);
  int status = -1;
  const bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
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

  void StartProgram() { pid_ = StartKelmardin(); }

  static size_t StoreSize() {
    std::vector<Platform::CertContextPtr> all;
    auto store = Platform::CertStore::OpenSystem("MY");
    if (store) store->Enumerate(all);
    return all.size();
  }


  UiTest::ProfileSandbox sandbox_;
  TvrTest::TempDir dir_;
  TvrTest::PrivatePcscd pcscd_;
  TvrTest::SoftHsmTokens tokens_;
  std::optional<TvrTest::InstalledShim> shim_;
  std::unique_ptr<TvrTest::ScriptedCard> card_;
  pid_t pid_ = -1;
};

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
  card_ = std::make_unique<TvrTest::ScriptedCard>(pcscd_, 0, TvrTest::HexBytes(kAtr));
  card_->Insert();
  pid_ = StartKelmardin({{"TVR_TRUST_BUNDLE", sandbox_.Root() + "/bundle.crt"}});
  ASSERT_TRUE(WaitFor([&] { return !responders.Requests().empty(); }, std::chrono::seconds(30)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  std::chrono::milliseconds took{0};
  const std::optional<int> status = Terminate(pid_, std::chrono::seconds(15), &took);
  ASSERT_TRUE(status) << "still running after 15 s";
  pid_ = -1;
  EXPECT_LT(took, std::chrono::seconds(3));
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_EQ(StoreSize(), 0u);
}

TEST_F(ProgramRoadTest, SigtermWithACardInUnregistersItsCertificates) {
  card_ = std::make_unique<TvrTest::ScriptedCard>(pcscd_, 0, TvrTest::HexBytes(kAtr));
  card_->Insert();
  StartProgram();
  ASSERT_TRUE(WaitFor([] { return StoreSize() == 1; }, std::chrono::seconds(30)));

  ::kill(pid_, SIGTERM);
  int status = -1;
  ASSERT_TRUE(WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(10)));
  pid_ = -1;
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(StoreSize(), 0u);
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
  // the waiting dialog (after the 3 s deadline), with the window up.
  for (int afterMs : {100, 4000, 9000}) {
    const int connections = mute.Connections();
    const pid_t pid = StartKelmardin({{"PCSCLITE_CSOCK_NAME", mute.SocketPath()}});
    ASSERT_GT(pid, 0);
    if (!WaitFor([&] { return mute.Connections() > connections; }, std::chrono::seconds(20))) {
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
