// The PIN page on a reader with a PIN pad: no dialog opens, the reader's PIN-pad double
// receives the modify-PIN command, and the page reports the card's answer with the
// counter read from the card afterwards.
#include <gtest/gtest.h>

#include <filesystem>

#include "PcscRig.h"
#include "PinTestSupport.h"
#include "UiTestSupport.h"
#include "platform/MessageBox.h"

namespace {

using TvrTest::Bytes;
using TvrTest::HexBytes;
using TvrTest::PrivatePcscd;
using TvrTest::ScriptedCard;

constexpr const char* kCardAtr = "3B 0A 54 41 56 52 45 4E 49 43 30 31";
const Bytes kOk = {0x90, 0x00};
const char* const kGetDataPin = "00 CB 00 FF 10 A0 0E 83 01 81 8C 80 DF 21 80 DF 27 80 DF 28 80";

// The card's counter data: 32 bytes with the tries byte 13 from the end, then 90 00.
Bytes CounterAnswer(uint8_t tries) {
  Bytes data(34, 0xA0);
  data[19] = tries;
  data[32] = 0x90;
  data[33] = 0x00;
  return data;
}

class PinPadPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TvrTest::PcscSocketPath();
    if (const std::string reason = TvrTest::PcscRigUnavailableReason(); !reason.empty())
      GTEST_SKIP() << reason;
    pcscd_.EnablePinPad(0, "1234", "5678");
    try {
      pcscd_.Start();
    } catch (const TvrTest::PcscRigUnavailable& e) {
      GTEST_SKIP() << e.what();
    }
    std::filesystem::copy_file(TVR_TVCARDPX_PATH, TvrTest::ModuleDir() + "/libtvcardpx.so");
    std::filesystem::copy_file(TVR_GPCPPRM_PATH, TvrTest::ModuleDir() + "/libgpcpprm.so");
  }
  void TearDown() override {
    if (token_ && token_->HasSession()) token_->CloseSession();
    token_.reset();
    card_.reset();
    pcscd_.Stop();
    std::error_code ignored;
    for (const char* file : {"/libtvcardpx.so", "/libgpcpprm.so"})
      std::filesystem::remove(TvrTest::ModuleDir() + file, ignored);
  }

  UiTest::ProfileSandbox sandbox_;
  PrivatePcscd pcscd_;
  std::unique_ptr<ScriptedCard> card_;
  std::unique_ptr<PKCS11Base> token_;
};

TEST_F(PinPadPageTest, GemaltoChangeGoesThroughThePinPad) {
  card_ = std::make_unique<ScriptedCard>(pcscd_, 0, HexBytes(kCardAtr));
  // The pad types 1234 and 5678 into blocks of the token's maximum PIN length (8 here).
  const Bytes change = HexBytes("00 24 00 81 10  31 32 33 34 00 00 00 00  35 36 37 38 00 00 00 00");
  card_->Answer(change, {kOk, HexBytes("63 C2")});
  // Counters: the pre-check of each attempt, then the tries line after the failure.
  card_->Answer(HexBytes(kGetDataPin), {CounterAnswer(3), CounterAnswer(3), CounterAnswer(2)});
  card_->Insert();
  ASSERT_TRUE(TvrTest::WaitForCard(PrivatePcscd::ReaderName(0), true).has_value()) << pcscd_.Log();

  TvrTest::SoftHsmTokens softHsm;
  softHsm.AddToken({.withKeyAndCertificate = false});
  TvrTest::InstalledShim shim(PinTest::ShimFileOf(1));
  token_ = PinTest::OpenToken(&VendorModuleTable[1], VendorModuleTable[1].moduleFile);
  ASSERT_NE(token_, nullptr);
  token_->SetReaderName(PrivatePcscd::ReaderName(0));

  PinTest::FakeHost host;
  host.token = token_.get();
  host.fixed = true;
  host.info = std::make_unique<TokenInfo>();
  host.info->userPinInitialized = true;
  host.info->protectedAuthenticationPath = true;
  host.info->minPinLen = 4;
  host.info->maxPinLen = 8;
  UiTest::ScriptedUserPort port;
  PinTest::ScriptedPrompts prompts;
  SystemPinVendorPaths paths;
  PinOperations page(host, port, prompts, paths);

  page.Run(PinOperation::ChangePin);
  page.Run(PinOperation::ChangePin);
  EXPECT_TRUE(prompts.asked.empty());
  ASSERT_EQ(port.boxes.size(), 2u) << pcscd_.Log();
  EXPECT_EQ(port.boxes[0].text, "Sikeres PIN megváltoztatás!");
  EXPECT_EQ(port.boxes[0].flags, Platform::kMbIconInformation);
  EXPECT_EQ(port.boxes[1].text,
            "Sikertelen PIN megváltoztatás!\nPIN kód zárolva lesz 2 hibás próbálkozás után.");
  EXPECT_EQ(port.boxes[1].flags, Platform::kMbIconError);
  // Both commands went through the pad, which typed the values into them.
  EXPECT_EQ(pcscd_.PinPadBlocks().size(), 2u);
  std::vector<Bytes> changes;
  for (const Bytes& command : card_->Commands())
    if (command.size() > 2 && command[1] == 0x24) changes.push_back(command);
  EXPECT_EQ(changes, std::vector<Bytes>(2, change));
}

}  // namespace
