// The program itself on the full road: a private pcscd with the virtual reader and a
// scripted card, the test module posing as the Gemalto module over SoftHSM2. SIGTERM
// while the card is in must leave none of its certificates in the store.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "CardTokenWriter.h"
#include "P11Rig.h"
#include "PcscRig.h"
#include "UiTestSupport.h"
#include "platform/CertStore.h"

namespace {

constexpr const char* kAtr = "3B0A54415652454E49433031";

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

  void StartProgram() {
    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
      ::execl(TVR_KELMARDIN_PATH, TVR_KELMARDIN_PATH, static_cast<char*>(nullptr));
      ::_exit(127);
    }
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

}  // namespace
