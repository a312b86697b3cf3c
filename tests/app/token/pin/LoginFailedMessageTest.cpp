// The log-in failure text for the card types whose counters come without PC/SC (the
// Gemalto type's counter is read from the card: see CardPinCommandsTest).
#include <gtest/gtest.h>

#include "Bit4utlDouble.h"
#include "LoginFailedMessage.h"
#include "PcscRig.h"
#include "TokenTestFixture.h"

namespace {

constexpr const char* kFailed = "Sikertelen bejelentkezés!";

class LoginFailedMessageTest : public TokenTest {
 protected:
  void SetUp() override {
    TvrTest::PcscSocketPath();
    TokenTest::SetUp();
  }
};

TEST_F(LoginFailedMessageTest, Bit4idGlobalPinCounter) {
  TvrTest::InstalledBit4utl library;
  auto token = PKCS11V220::Create(&VendorModuleTable[0], nullptr);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"2", std::string(kFailed) + "\nGlobál PIN kód zárolva lesz 2 hibás próbálkozás után."},
      {"0", std::string(kFailed) + "\nGlobál PIN kód zárolva."},
      {"-1", kFailed},
  };
  for (const auto& [tries, expected] : cases) {
    library.Set("tries.0", tries);
    EXPECT_EQ(BuildLoginFailedMessage(token.get()), expected) << tries;
  }
}

TEST_F(LoginFailedMessageTest, EtokenFirstCounter) {
  shim_.emplace("libeTPKCS11.so", TvrTest::ShimOptions{.readers = {{"TvrTest", kReader}}});
  auto token = PKCS11V220::Create(&VendorModuleTable[2], Platform::LoadLibrary("eTPKCS11.dll"));
  const auto slots = token->GetSlotList(true);
  ASSERT_EQ(slots.size(), 1u);
  token->SetSlot(slots[0]);
  ASSERT_TRUE(token->OpenSession(false));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"2,9,9,9", std::string(kFailed) + "\nGlobál PIN kód zárolva lesz 2 hibás próbálkozás után."},
      {"0,9,9,9", std::string(kFailed) + "\nGlobál PIN kód zárolva."},
      {"", kFailed},  // no counter object
  };
  for (const auto& [counters, expected] : cases) {
    if (counters.empty()) {
      shim_->ClearOption("hw.counters");
    } else {
      shim_->SetOption("hw.counters", counters);
    }
    EXPECT_EQ(BuildLoginFailedMessage(token.get()), expected) << counters;
  }
  token->CloseSession();
}

TEST_F(LoginFailedMessageTest, OtherTypesGetThePlainText) {
  TvrTest::InstalledBit4utl library;  // would give counts to a token that asked
  auto oberthur = PKCS11V220::Create(&VendorModuleTable[3], nullptr);
  auto noRow = PKCS11V220::Create(nullptr, nullptr);
  EXPECT_EQ(BuildLoginFailedMessage(oberthur.get()), kFailed);
  EXPECT_EQ(BuildLoginFailedMessage(noRow.get()), kFailed);
  EXPECT_EQ(BuildLoginFailedMessage(nullptr), kFailed);
  EXPECT_TRUE(library.Calls().empty());
}

}  // namespace
