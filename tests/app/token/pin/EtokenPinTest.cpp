// The eToken PIN extensions against the shim posing as the vendor module: hardware-feature
// objects for the counters and the transport flag, and the ETC_GetFunctionListEx list.
#include <gtest/gtest.h>

#include <algorithm>

#include "EtokenPin.h"
#include "TokenTestFixture.h"

namespace {

using TvrCommon::SecureString;

class EtokenTest : public TokenTest {
 protected:
  // Installs the shim as the "Gemalto2" module and opens a session on its token.
  void OpenToken(TvrTest::ShimOptions options = {}) {
    options.readers["TvrTest"] = kReader;
    shim_.reset();
    shim_.emplace("libeTPKCS11.so", options);
    token_ = PKCS11V220::Create(&VendorModuleTable[2], Platform::LoadLibrary("eTPKCS11.dll"));
    ASSERT_TRUE(token_->IsValid());
    const auto slots = token_->GetSlotList(true);
    ASSERT_EQ(slots.size(), 1u);
    token_->SetSlot(slots[0]);
    ASSERT_TRUE(token_->OpenSession(true));
  }

  void TearDown() override {
    if (token_ && token_->HasSession()) token_->CloseSession();
    token_.reset();
    TokenTest::TearDown();
  }

  // The argument lines the extension entries logged.
  std::vector<std::string> ExtensionCalls() const {
    std::vector<std::string> lines;
    for (const std::string& line : shim_->CallLog()) {
      if (line.find('|') != std::string::npos) lines.push_back(line);
    }
    return lines;
  }

  // Whether the session can start a new object search (no search was left open).
  bool CanSearchAgain() const {
    CK_FUNCTION_LIST* list = token_->GetFunctionList();
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE search = {CKA_CLASS, &objectClass, sizeof objectClass};
    if (list->C_FindObjectsInit(token_->GetSession(), &search, 1) != CKR_OK) return false;
    return list->C_FindObjectsFinal(token_->GetSession()) == CKR_OK;
  }

  std::string Session() const { return std::to_string(token_->GetSession()); }

  std::unique_ptr<PKCS11Base> token_;
};

TEST_F(EtokenTest, RetryCountersComeFromTheCounterObject) {
  OpenToken();
  shim_->SetOption("hw.counters", "7,1,5,9");
  CK_ULONG first = 0, second = 0, third = 0, fourth = 0;
  ASSERT_TRUE(EtokenGetRetryCounters(token_.get(), &first, &second, &third, &fourth));
  EXPECT_EQ(std::vector<CK_ULONG>({first, second, third, fourth}),
            std::vector<CK_ULONG>({7, 1, 5, 9}));
  EXPECT_TRUE(CanSearchAgain());
  const std::vector<std::pair<uint8_t, int>> selectors = {{0, 7}, {1, 1}, {2, 5}, {3, 9}, {4, -1}};
  for (const auto& [selector, expected] : selectors) {
    EXPECT_EQ(EtokenGetRetryCounter(token_.get(), selector), expected) << int(selector);
  }
  // A value that cannot be a count is not shown as one.
  shim_->SetOption("hw.counters", "18446744073709551615,0,0,0");
  EXPECT_EQ(EtokenGetRetryCounter(token_.get(), 0), -1);
}

TEST_F(EtokenTest, NoCounterObjectLeavesTheOutputsAndEndsTheSearch) {
  OpenToken();
  CK_ULONG first = 42, second = 42, third = 42, fourth = 42;
  shim_->ClearLog();
  EXPECT_FALSE(EtokenGetRetryCounters(token_.get(), &first, &second, &third, &fourth));
  EXPECT_EQ(std::vector<CK_ULONG>({first, second, third, fourth}),
            std::vector<CK_ULONG>({42, 42, 42, 42}));
  EXPECT_EQ(shim_->CountCalls("C_FindObjectsFinal"), 1u);
  EXPECT_TRUE(CanSearchAgain());
  for (uint8_t selector = 0; selector < 4; ++selector) {
    EXPECT_EQ(EtokenGetRetryCounter(token_.get(), selector), -1);
  }
  // A failing attribute read also leaves them alone.
  shim_->SetOption("hw.counters", "1,2,3,4");
  shim_->InjectRv("C_GetAttributeValue", CKR_DEVICE_ERROR);
  EXPECT_FALSE(EtokenGetRetryCounters(token_.get(), &first, &second, &third, &fourth));
  EXPECT_EQ(first, 42u);
}

TEST_F(EtokenTest, TransportFlagOfTheSigningPinState) {
  OpenToken();
  struct Case {
    const char* state;  // shim option: PIN-state objects
    std::vector<std::pair<std::string, std::string>> objects;
    bool waiting;
  };
  const std::vector<Case> cases = {
      {"signing PIN flag 0", {{"hw.pin_state.0x80000002", "0"}}, true},
      {"signing PIN flag 1", {{"hw.pin_state.0x80000002", "1"}}, false},
      {"signing PIN flag 0xFF", {{"hw.pin_state.0x80000002", "0xFF"}}, false},
      {"only the global PIN's state", {{"hw.pin_state.1", "0"}}, false},
      {"both, signing waits", {{"hw.pin_state.1", "1"}, {"hw.pin_state.0x80000002", "0"}}, true},
      {"no state object", {}, false},
  };
  for (const Case& c : cases) {
    shim_->ClearOption("hw.pin_state.1");
    shim_->ClearOption("hw.pin_state.0x80000002");
    for (const auto& [key, value] : c.objects) shim_->SetOption(key, value);
    EXPECT_EQ(EtokenSigningPinNeedsActivation(token_.get()), c.waiting) << c.state;
    EXPECT_TRUE(CanSearchAgain()) << c.state;
  }
}

TEST_F(EtokenTest, ExtensionEntriesGetTheirArgumentsInOrder) {
  OpenToken();
  const SecureString oldPin("1234"), newPin("87654321"), puk("11223344");
  struct Case {
    const char* name;
    bool (*call)(PKCS11Base*, const SecureString*, const SecureString*);
    const SecureString* first;
    const SecureString* second;
    std::string entry;
    std::string logged;  // after the session handle
  };
  const std::vector<Case> cases = {
      {"change signing PIN", EtokenChangeSigningPin, &oldPin, &newPin, "ETC_ChangePin",
       "0x80000002|0|0|0|0|1234|4|87654321|8"},
      {"unblock signing PIN", EtokenUnblockSigningPin, &puk, &newPin, "ETC_UnblockPin",
       "0x80000002|87654321|8|3|0|11223344|8"},
      {"unblock global PIN", EtokenUnblockPin, &puk, &newPin, "ETC_UnblockPin",
       "0x1|87654321|8|3|0|11223344|8"},
      {"PIN pad: absent old text", EtokenChangeSigningPin, nullptr, &newPin, "ETC_ChangePin",
       "0x80000002|0|0|0|0|null|0|87654321|8"},
      {"PIN pad: absent texts", EtokenUnblockSigningPin, nullptr, nullptr, "ETC_UnblockPin",
       "0x80000002|null|0|3|0|null|0"},
  };
  for (const Case& c : cases) {
    shim_->ClearLog();
    EXPECT_TRUE(c.call(token_.get(), c.first, c.second)) << c.name;
    EXPECT_EQ(ExtensionCalls(),
              std::vector<std::string>({c.entry + "|" + Session() + "|" + c.logged}))
        << c.name;
  }
  shim_->InjectRv("ETC_ChangePin", CKR_PIN_INCORRECT);
  EXPECT_FALSE(EtokenChangeSigningPin(token_.get(), &oldPin, &newPin));
  shim_->InjectRv("ETC_UnblockPin", CKR_PIN_INCORRECT);
  EXPECT_FALSE(EtokenUnblockPin(token_.get(), &puk, &newPin));
  EXPECT_FALSE(EtokenUnblockSigningPin(token_.get(), &puk, &newPin));
}

TEST_F(EtokenTest, WithoutTheExtensionListOnlyTheObjectsWork) {
  const SecureString pin("1234"), puk("11223344");
  struct Case {
    const char* name;
    TvrTest::ShimOptions options;
    std::string getListRv;
  };
  const std::vector<Case> cases = {
      {"module without ETC_GetFunctionListEx", {.withoutExtensions = true}, ""},
      {"ETC_GetFunctionListEx fails", {}, "0x5"},
  };
  for (const Case& c : cases) {
    OpenToken(c.options);
    if (!c.getListRv.empty()) shim_->SetOption("ext.getlist_rv", c.getListRv);
    shim_->SetOption("hw.counters", "3,0,2,10");
    shim_->SetOption("hw.pin_state.0x80000002", "0");
    EXPECT_EQ(EtokenGetRetryCounter(token_.get(), 3), 10) << c.name;
    EXPECT_TRUE(EtokenSigningPinNeedsActivation(token_.get())) << c.name;
    EXPECT_FALSE(EtokenUnblockPin(token_.get(), &puk, &pin)) << c.name;
    EXPECT_FALSE(EtokenChangeSigningPin(token_.get(), &pin, &pin)) << c.name;
    EXPECT_FALSE(EtokenUnblockSigningPin(token_.get(), &puk, &pin)) << c.name;
    EXPECT_TRUE(ExtensionCalls().empty()) << c.name;  // the module was never called
    token_->CloseSession();
    token_.reset();
  }
}

TEST_F(EtokenTest, NoSessionOrNoFunctionListAnswersFailure) {
  OpenToken();
  shim_->SetOption("hw.counters", "3,0,2,10");
  shim_->SetOption("hw.pin_state.0x80000002", "0");
  ASSERT_TRUE(token_->CloseSession());
  const SecureString pin("1234");
  // The session handle 0 goes to the module, which refuses it.
  EXPECT_EQ(EtokenGetRetryCounter(token_.get(), 0), -1);
  EXPECT_FALSE(EtokenSigningPinNeedsActivation(token_.get()));
  EXPECT_FALSE(EtokenChangeSigningPin(token_.get(), &pin, &pin));
  EXPECT_EQ(ExtensionCalls(), std::vector<std::string>(
                                  {"ETC_ChangePin|0|0x80000002|0|0|0|0|1234|4|1234|4"}));

  auto unbound = PKCS11V220::Create(&VendorModuleTable[2], nullptr);
  CK_ULONG first = 0;
  EXPECT_FALSE(EtokenGetRetryCounters(unbound.get(), &first, nullptr, nullptr, nullptr));
  EXPECT_EQ(EtokenGetRetryCounter(unbound.get(), 0), -1);
  EXPECT_FALSE(EtokenSigningPinNeedsActivation(unbound.get()));
  EXPECT_FALSE(EtokenUnblockPin(unbound.get(), &pin, &pin));
  EXPECT_FALSE(EtokenChangeSigningPin(unbound.get(), &pin, &pin));
  EXPECT_FALSE(EtokenUnblockSigningPin(nullptr, &pin, &pin));
}

}  // namespace
