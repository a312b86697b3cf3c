// The activation on the full road: a private pcscd with the virtual reader, a scripted
// card recognised as the Gemalto type, the test module posing as the Gemalto module over
// a SoftHSM2 token whose user PIN is the transport PIN, and the card monitor calling the
// activation on insertion.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "CardMonitor.h"
#include "CertificateRegistrar.h"
#include "PcscRig.h"
#include "PinActivation.h"
#include "PinTestSupport.h"
#include "UiTestSupport.h"
#include "platform/CertStore.h"

namespace {

constexpr const char* kAtr = "3B0A5441565245 4E49433031";  // "Classic TPC"

// The application's side of the monitor: activation through scripted questions.
class ActivatingHost : public IMonitorHost {
 public:
  ActivatingHost(IUserPort& port, IPinPrompts& prompts, IPinVendorPaths& paths)
      : activation_(port, prompts, paths) {}
  void QueueBalloon(const std::string&, const std::string&, uint32_t) override {}
  void PostCardChanged() override {}
  void PostReadersChanged() override {}
  void ArmRestartTimer() override {}
  std::map<std::string, PKCS11Base*> Tokens() override { return tokens; }
  bool TransportPinActivation(PKCS11Base* token, const TokenInfo& info, bool transport) override {
    const bool result = activation_.Run(token, info, transport);
    sawToBeChanged = info.userPinToBeChanged;
    calls = calls + 1;
    activated = result;
    return result;
  }

  std::map<std::string, PKCS11Base*> tokens;
  std::atomic<int> calls{0};
  std::atomic<bool> activated{false};
  std::atomic<bool> sawToBeChanged{false};

 private:
  // The class shares its name with the host method above.
  ::TransportPinActivation activation_;
};

TEST(ActivationRoadTest, GemaltoCardInTransportStateIsActivatedOnInsertion) {
  TvrTest::PcscSocketPath();
  if (const std::string reason = TvrTest::PcscRigUnavailableReason(); !reason.empty())
    GTEST_SKIP() << reason;
  UiTest::ProfileSandbox sandbox;
  std::ofstream(sandbox.Root() + "/system/Tavrenic/smartcards.conf")
      << "[Classic TPC]\nATR = " << kAtr << "\n";
  TvrTest::PrivatePcscd pcscd;
  try {
    pcscd.Start();
  } catch (const TvrTest::PcscRigUnavailable& e) {
    GTEST_SKIP() << e.what();
  }
  TvrTest::SoftHsmTokens softHsm;
  softHsm.AddToken({.soPin = "12345678", .userPin = "0000", .withKeyAndCertificate = false});
  TvrTest::ShimOptions options;
  options.readers["TvrTest"] = TvrTest::PrivatePcscd::ReaderName(0);
  TvrTest::InstalledShim shim(PinTest::ShimFileOf(1), options);
  shim.SetOption("token_flags_set", "0x80000");  // the user PIN must be changed
  std::unique_ptr<PKCS11Base> primary =
      PKCS11V220::Create(&VendorModuleTable[1], Platform::LoadLibrary("gclib.dll"));
  ASSERT_TRUE(primary && primary->IsValid());

  UiTest::ScriptedUserPort port;
  PinTest::ScriptedPrompts prompts;
  prompts.Answer("12345678", "135790");
  PinTest::FakeVendorPaths paths;
  ActivatingHost host(port, prompts, paths);
  host.tokens = {{"Gemalto", primary.get()}};
  auto store = Platform::CertStore::OpenSystem("MY");
  ASSERT_TRUE(store);
  CertificateRegistrar registrar(host, store.get());
  CardMonitor monitor(host, registrar);
  ASSERT_TRUE(monitor.StartCardDetection(true));

  TvrTest::ScriptedCard card(pcscd, 0, TvrTest::HexBytes(kAtr));
  card.Insert();
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (host.calls == 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  // Let the monitor finish the insertion (it registers after a successful activation).
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  monitor.Shutdown();
  card.Remove();
  pcscd.Stop();

  ASSERT_EQ(host.calls, 1) << pcscd.Log();
  EXPECT_TRUE(host.sawToBeChanged);
  EXPECT_TRUE(host.activated);
  ASSERT_EQ(port.boxes.size(), 2u);
  EXPECT_EQ(port.boxes[1].text, "Sikeres PIN aktiválás!");

  // The new PIN works, the transport PIN does not.
  shim.ClearOption("token_flags_set");
  if (primary->HasSession()) primary->CloseSession();
  const auto slotList = primary->GetSlotList(true);
  ASSERT_FALSE(slotList.empty());
  primary->SetSlot(slotList[0]);
  ASSERT_TRUE(primary->OpenSession(false));
  const TvrCommon::SecureString oldPin("0000"), newPin("135790");
  EXPECT_FALSE(primary->LoginEx(&oldPin, false, nullptr));
  EXPECT_TRUE(primary->LoginEx(&newPin, false, nullptr));
  primary->Logout();
  primary->CloseSession();
}

}  // namespace
