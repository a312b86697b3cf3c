// PIN activation on insertion: the Bit4ID steps and their retry boxes on scripted vendor
// results, the Gemalto sequence for real on SoftHSM2 behind the test module, the eToken
// parts, and the PINs kept out of every log.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Bit4utlDouble.h"
#include "PcscRig.h"
#include "PinActivation.h"
#include "PinTestSupport.h"
#include "Trace.h"
#include "UiTestSupport.h"
#include "platform/MessageBox.h"
#include "platform/Profile.h"

namespace {

using namespace Platform;
using PinTest::FakeVendorPaths;
using PinTest::ScriptedPrompts;

constexpr unsigned kStop = kMbIconError | kMbSystemModal;
constexpr unsigned kInfo = kMbIconInformation | kMbSystemModal;
constexpr unsigned kNotice = kMbOkCancel | kMbIconWarning | kMbSystemModal;
const std::string kNoticeText = "A kártya transzport állapotban van. Kérem, aktiválja a PIN-t!";
const std::string kLastTry =
    "Már csak egy próbálkozási lehetősége maradt. Ha bizonytalan, kérje szakember segítségét!";

struct Box {
  std::string text;
  unsigned flags;
  bool operator==(const Box& o) const { return text == o.text && flags == o.flags; }
};
void PrintTo(const Box& b, std::ostream* os) { *os << "{\"" << b.text << "\", " << b.flags << "}"; }

class ActivationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TvrTest::PcscSocketPath();
    Platform::Profile().WriteDword("", "EventLogLevel", 3);
  }
  void AddToken(const std::string& soPin = "12345678", const std::string& userPin = "0000") {
    softHsm_.AddToken({.soPin = soPin, .userPin = userPin, .withKeyAndCertificate = false});
  }
  PKCS11Base* Token(size_t row, TvrTest::ShimOptions options = {}) {
    shim_.emplace(PinTest::ShimFileOf(row), options);
    token_ = PinTest::OpenToken(&VendorModuleTable[row], VendorModuleTable[row].moduleFile);
    return token_.get();
  }
  std::vector<Box> Boxes() const {
    std::vector<Box> boxes;
    for (const auto& box : port_.boxes) boxes.push_back({box.text, box.flags});
    return boxes;
  }
  void TearDown() override {
    if (token_ && token_->IsLoggedIn()) token_->Logout();
    if (token_ && token_->HasSession()) token_->CloseSession();
    token_.reset();
  }

  UiTest::ProfileSandbox sandbox_;
  TvrTest::SoftHsmTokens softHsm_;
  std::optional<TvrTest::InstalledShim> shim_;
  std::unique_ptr<PKCS11Base> token_;
  UiTest::ScriptedUserPort port_;
  ScriptedPrompts prompts_;
  FakeVendorPaths paths_;
  TransportPinActivation activation_{port_, prompts_, paths_};
};

TEST_F(ActivationTest, CommonStartRefusesWithoutTokenOrConsentOrSequence) {
  TokenInfo info;
  EXPECT_FALSE(activation_.Run(nullptr, info, false));
  EXPECT_TRUE(port_.boxes.empty());

  AddToken();
  PKCS11Base* token = Token(0);
  port_.answers = {kIdCancel};
  EXPECT_FALSE(activation_.Run(token, info, false));
  EXPECT_EQ(Boxes(), (std::vector<Box>{{kNoticeText, kNotice}}));
  EXPECT_TRUE(prompts_.asked.empty());

  // A card of another type reporting a transport state.
  Token(3);
  port_.boxes.clear();
  EXPECT_FALSE(activation_.Run(token_.get(), info, false));
  EXPECT_EQ(Boxes(), (std::vector<Box>{{kNoticeText, kNotice}, {"Nincs implementálva!", kStop}}));
}

TEST_F(ActivationTest, Bit4idRunsItsThreeStepsWithTheirBounds) {
  AddToken();
  PKCS11Base* token = Token(0);
  paths_.limits = Bit4idPinLimits{{4, 8}, {8, 12}, {5, 9}, {6, 10}};
  prompts_.Answer("111111");
  prompts_.Answer("222222", "55555");
  prompts_.Answer("33333333", "4444");
  TokenInfo info;
  EXPECT_TRUE(activation_.Run(token, info, false));
  EXPECT_EQ(prompts_.asked, (std::vector<std::string>{
                                "AskPuk Aláíró PIN kód aktiválása 6 10",
                                "AskUnblock Aláíró PIN feloldása 5 9 6 10",
                                "AskUnblock Globál PIN feloldása 4 8 8 12"}));
  EXPECT_EQ(paths_.calls, (std::vector<std::string>{
                              "Bit4idReactivatePin 2 111111",
                              "Bit4idUnblockPin Virtual PCD 00 00 1 222222 55555",
                              "Bit4idUnblockPin Virtual PCD 00 00 0 33333333 4444"}));
  EXPECT_EQ(Boxes(), (std::vector<Box>{{kNoticeText, kNotice},
                                       {"Sikeres aláíró PIN aktiválás!", kInfo}}));

  // A PIN-pad reader: no dialog, every call without values.
  paths_.calls.clear();
  prompts_.asked.clear();
  info.protectedAuthenticationPath = true;
  EXPECT_TRUE(activation_.Run(token, info, false));
  EXPECT_TRUE(prompts_.asked.empty());
  EXPECT_EQ(paths_.calls, (std::vector<std::string>{
                              "Bit4idReactivatePin 2 null",
                              "Bit4idUnblockPin Virtual PCD 00 00 1 null null",
                              "Bit4idUnblockPin Virtual PCD 00 00 0 null null"}));
}

// Another card put in the reader while the activation asks (the monitor hears of nothing
// meanwhile), or at the last moment: the PUKs go nowhere, no counter is asked of the other
// card, and the card is left unregistered.
TEST_F(ActivationTest, Bit4idSendsNothingToAnotherCard) {
  AddToken();
  PKCS11Base* token = Token(0);
  const Box changed{"A parancs végrehajtása közben a kártya megváltozott vagy eltávolították.", kStop};
  for (bool lastMoment : {false, true}) {
    SCOPED_TRACE(lastMoment ? "last moment" : "during the dialog");
    paths_.card = CardIdentity{{0x3B, 0x01}, 7};
    paths_.calls.clear();
    paths_.counterReads = 0;
    port_.boxes.clear();
    int asked = 0;
    const auto swap = [this] { paths_.card = CardIdentity{{0x3B, 0x01}, 9}; };
    // The second question is the signing PIN's unblocking.
    prompts_.onAsk = [&] {
      if (++asked == 2 && !lastMoment) swap();
    };
    paths_.onAttempt = [&] {
      if (asked == 2 && lastMoment) swap();
    };
    prompts_.Answer("111111");
    prompts_.Answer("222222", "55555");
    prompts_.Answer("33333333", "4444");
    TokenInfo info;
    EXPECT_FALSE(activation_.Run(token, info, false));
    std::vector<std::string> calls = {"Bit4idReactivatePin 2 111111"};
    if (lastMoment) calls.push_back("Bit4idUnblockPin refused: another card");
    EXPECT_EQ(paths_.calls, calls);
    EXPECT_EQ(paths_.counterReads, 0);
    EXPECT_EQ(Boxes(), (std::vector<Box>{{kNoticeText, kNotice}, changed}));
    prompts_.answers.clear();
  }
  prompts_.onAsk = nullptr;
  paths_.onAttempt = nullptr;
}

TEST_F(ActivationTest, Bit4idRetryBoxesByTriesLeft) {
  AddToken();
  PKCS11Base* token = Token(0);
  struct RetryCase {
    const char* name;
    const char* failing;  // the call that fails once
    int signingPuk, globalPuk;
    std::vector<int> answers;  // to the boxes after the notice
    bool result;
    std::vector<Box> boxes;  // after the notice
  };
  const std::string again = "\nÚjra megpróbálja?";
  const std::vector<RetryCase> cases = {
      {"reactivation, 1 left: warning, yes repeats the step", "Bit4idReactivatePin", 1, 3,
       {kIdOk, kIdYes}, true,
       {{"Sikertelen aláíró PIN aktiválás!\n" + kLastTry + again, kMbYesNo | kStop},
        {"Sikeres aláíró PIN aktiválás!", kInfo}}},
      {"reactivation, 3 left: count", "Bit4idReactivatePin", 3, 3, {kIdOk, kIdNo}, false,
       {{"Sikertelen aláíró PIN aktiválás!\nMég 3 próbálkozási lehetősége van." + again,
         kMbYesNo | kStop}}},
      {"reactivation, locked", "Bit4idReactivatePin", 0, 3, {kIdOk}, false,
       {{"Sikertelen aláíró PIN aktiválás!\nAláíró PUK kód zárolva.", kStop}}},
      {"reactivation, unknown count", "Bit4idReactivatePin", -1, 3, {kIdOk}, false,
       {{"Sikertelen aláíró PIN aktiválás!", kStop}}},
      {"global step, 1 left: warning", "Bit4idUnblockPin#0", 3, 1, {kIdOk, kIdNo}, false,
       {{"Sikertelen globál PIN feloldás!\n" + kLastTry + again, kMbYesNo | kStop}}},
      {"global step, locked", "Bit4idUnblockPin#0", 3, 0, {kIdOk}, false,
       {{"Sikertelen globál PIN feloldás!\nGlobál PUK kód zárolva.", kStop}}},
  };
  for (const RetryCase& c : cases) {
    SCOPED_TRACE(c.name);
    paths_ = FakeVendorPaths{};
    paths_.bit4[3] = c.signingPuk;
    paths_.bit4[1] = c.globalPuk;
    port_.boxes.clear();
    port_.answers.assign(c.answers.begin(), c.answers.end());
    prompts_ = ScriptedPrompts{};
    for (int i = 0; i < 4; ++i) prompts_.Answer("99999999", "1234");
    paths_.failures[c.failing] = 1;
    if (!c.result) paths_.results[c.failing] = false;
    EXPECT_EQ(activation_.Run(token, TokenInfo{}, false), c.result);
    std::vector<Box> expected{{kNoticeText, kNotice}};
    expected.insert(expected.end(), c.boxes.begin(), c.boxes.end());
    EXPECT_EQ(Boxes(), expected);
  }

  // The signing step counts down to its lock without the warning, also at one try left.
  paths_ = FakeVendorPaths{};
  paths_.bit4[3] = 1;
  paths_.results["Bit4idUnblockPin"] = false;
  port_.boxes.clear();
  port_.answers = {kIdOk, kIdNo};
  prompts_ = ScriptedPrompts{};
  prompts_.Answer("99999999");
  prompts_.Answer("99999999", "1234");
  EXPECT_FALSE(activation_.Run(token, TokenInfo{}, false));
  EXPECT_EQ(Boxes(), (std::vector<Box>{
                         {kNoticeText, kNotice},
                         {"Sikertelen aláíró PIN feloldás!\nAláíró PUK kód zárolva lesz 1 hibás "
                          "próbálkozás után.\nÚjra megpróbálja?",
                          kMbYesNo | kStop}}));
  // A cancelled dialog ends the sequence.
  port_.boxes.clear();
  port_.answers = {kIdOk};
  prompts_ = ScriptedPrompts{};
  EXPECT_FALSE(activation_.Run(token, TokenInfo{}, false));
  EXPECT_EQ(prompts_.asked.size(), 1u);
  EXPECT_EQ(Boxes().size(), 1u);
}

// The Bit4ID sequence on the utility library's double: the library's bounds reach the
// dialogs, a refused reactivation is asked again, and a PIN-pad reader uses the pad forms.
TEST_F(ActivationTest, Bit4idOnTheLibraryDouble) {
  TvrTest::InstalledBit4utl library;
  library.Set("limits", "4,8,8,12,5,9,6,10");
  library.Set("rv.DS_ReactivatePin", "1");
  library.Set("tries.3", "1");
  std::unique_ptr<PKCS11Base> token = PKCS11V220::Create(&VendorModuleTable[0], nullptr);
  token->SetReaderName("Virtual PCD 00 00");
  SystemPinVendorPaths system;
  TransportPinActivation activation(port_, prompts_, system);
  prompts_.Answer("66666666");
  port_.answers = {kIdOk, kIdNo};
  EXPECT_FALSE(activation.Run(token.get(), TokenInfo{}, false));
  EXPECT_EQ(prompts_.asked, (std::vector<std::string>{"AskPuk Aláíró PIN kód aktiválása 6 10"}));
  EXPECT_EQ(Boxes().back(),
            (Box{"Sikertelen aláíró PIN aktiválás!\n" + kLastTry + "\nÚjra megpróbálja?",
                 kMbYesNo | kStop}));

  library.Set("rv.DS_ReactivatePin", "0");
  library.ClearCalls();
  port_.boxes.clear();
  prompts_.asked.clear();
  prompts_.Answer("66666666");
  prompts_.Answer("66666666", "55555");
  prompts_.Answer("88888888", "4444");
  EXPECT_TRUE(activation.Run(token.get(), TokenInfo{}, false));
  EXPECT_EQ(prompts_.asked.back(), "AskUnblock Globál PIN feloldása 4 8 8 12");
  std::vector<std::string> exports;
  for (const auto& call : library.Calls()) exports.push_back(call.at(0));
  EXPECT_EQ(exports, (std::vector<std::string>{"CNS_DS_GetPinLimit", "DS_ReactivatePin",
                                               "CNS_DS_GetPinLimit", "CNS_DS_UnblockPin",
                                               "CNS_DS_GetPinLimit", "CNS_DS_UnblockPin"}));
  EXPECT_EQ(Boxes().back(), (Box{"Sikeres aláíró PIN aktiválás!", kInfo}));

  library.ClearCalls();
  TokenInfo pinPad;
  pinPad.protectedAuthenticationPath = true;
  EXPECT_TRUE(activation.Run(token.get(), pinPad, false));
  exports.clear();
  for (const auto& call : library.Calls()) exports.push_back(call.at(0));
  EXPECT_EQ(exports, (std::vector<std::string>{"DS_ReactivatePin_pinpad", "CNS_DS_UnblockPin_pinpad",
                                               "CNS_DS_UnblockPin_pinpad"}));
}

// The Gemalto sequence on SoftHSM2: a token whose user PIN is the transport PIN and must
// be changed gets a new PIN from the security officer; the old PIN no longer works.
TEST_F(ActivationTest, GemaltoActivatesOnSoftHsm) {
  AddToken("12345678", "0000");
  PKCS11Base* token = Token(1);
  ASSERT_NE(token, nullptr);
  shim_->SetOption("token_flags_set", "0x80000");  // user PIN to be changed
  std::unique_ptr<TokenInfo> info = token->GetTokenInfo();
  ASSERT_TRUE(info && info->userPinToBeChanged);
  prompts_.Answer("12345678", "135790");
  EXPECT_TRUE(activation_.Run(token, *info, false));
  EXPECT_EQ(Boxes(), (std::vector<Box>{{kNoticeText, kNotice}, {"Sikeres PIN aktiválás!", kInfo}}));
  EXPECT_EQ(prompts_.asked, (std::vector<std::string>{"AskUnblock PIN kód aktiválása 4 255 4 255"}));
  EXPECT_FALSE(token->HasSession());
  EXPECT_FALSE(token->IsLoggedIn());

  ASSERT_TRUE(token->OpenSession(false));
  const TvrCommon::SecureString oldPin("0000"), newPin("135790");
  EXPECT_FALSE(token->LoginEx(&oldPin, false, nullptr));
  EXPECT_TRUE(token->LoginEx(&newPin, false, nullptr));
}

TEST_F(ActivationTest, GemaltoFailuresEndWithOneBox) {
  AddToken("12345678", "0000");
  PKCS11Base* token = Token(1);
  const TokenInfo info = *token->GetTokenInfo();
  // A wrong security-officer PIN: the PUK count, no retry.
  paths_.gemalto[1] = 1;
  prompts_.Answer("87654321", "135790");
  EXPECT_FALSE(activation_.Run(token, info, false));
  EXPECT_EQ(Boxes(), (std::vector<Box>{{kNoticeText, kNotice},
                                       {"Sikertelen PIN aktiválás!\n" + kLastTry, kStop}}));
  EXPECT_FALSE(token->HasSession());
  paths_.gemalto[1] = 2;
  port_.boxes.clear();
  prompts_.Answer("87654321", "135790");
  activation_.Run(token, info, false);
  EXPECT_EQ(Boxes().back().text, "Sikertelen PIN aktiválás!\nPUK kód zárolva lesz 2 hibás próbálkozás után.");

  // InitPIN refused: the failure, the log-out, false; the old PIN is untouched.
  shim_->InjectRv("C_InitPIN", 0x30);
  port_.boxes.clear();
  prompts_.Answer("12345678", "135790");
  EXPECT_FALSE(activation_.Run(token, info, false));
  EXPECT_EQ(Boxes(), (std::vector<Box>{{kNoticeText, kNotice}, {"Sikertelen PIN aktiválás!", kStop}}));
  EXPECT_FALSE(token->IsLoggedIn());
  EXPECT_FALSE(token->HasSession());
  shim_->ClearRv("C_InitPIN");

  // Cancel in the dialog: nothing reaches the card.
  port_.boxes.clear();
  shim_->ClearLog();
  EXPECT_FALSE(activation_.Run(token, info, false));
  EXPECT_EQ(shim_->CountCalls("C_Login"), 0u);
}

TEST_F(ActivationTest, Gemalto2IsReadyWhenEveryNeededPartSucceeded) {
  AddToken();
  PKCS11Base* token = Token(2);
  struct PartCase {
    const char* name;
    bool toBeChanged, transport;
    bool globalFails;
    std::vector<int> answers;
    bool result;
    std::vector<std::string> calls;
  };
  const std::vector<PartCase> cases = {
      {"both parts", true, true, false, {kIdOk}, true,
       {"EtokenUnblockPin 11111111 2468", "EtokenUnblockSigningPin 11111111 2468"}},
      {"signing part only: ready after it", false, true, false, {kIdOk}, true,
       {"EtokenUnblockSigningPin 11111111 2468"}},
      {"global part declined: the signing part still runs, not ready", true, true, true,
       {kIdOk, kIdOk, kIdNo}, false,
       {"EtokenUnblockPin 11111111 2468", "EtokenUnblockSigningPin 11111111 2468"}},
  };
  for (const PartCase& c : cases) {
    SCOPED_TRACE(c.name);
    paths_ = FakeVendorPaths{};
    paths_.etoken[3] = 4;
    paths_.results["EtokenUnblockPin"] = !c.globalFails;
    prompts_ = ScriptedPrompts{};
    for (int i = 0; i < 3; ++i) prompts_.Answer("11111111", "2468");
    port_.boxes.clear();
    port_.answers.assign(c.answers.begin(), c.answers.end());
    TokenInfo info;
    info.userPinToBeChanged = c.toBeChanged;
    EXPECT_EQ(activation_.Run(token, info, c.transport), c.result);
    EXPECT_EQ(paths_.calls, c.calls);
    EXPECT_FALSE(token->HasSession());
  }
  // The declined global part's box: the PUK count and the question.
  EXPECT_EQ(port_.boxes[1].text,
            "Sikertelen globál PIN aktiválás!\nPUK kód zárolva lesz 4 hibás próbálkozás után.\n"
            "Újra megpróbálja?");
  EXPECT_EQ(port_.boxes[2].text, "Sikeres aláíró PIN feloldás!");
}

// The eToken parts through the module's extension list (the shim's): the global PIN with
// user type CKU_USER, the signing PIN with the vendor's type, the PUK count from the
// counter object, all in a session that is closed afterwards.
TEST_F(ActivationTest, Gemalto2OnTheModuleExtensions) {
  AddToken();
  PKCS11Base* token = Token(2);
  ASSERT_NE(token, nullptr);
  shim_->SetOption("hw.counters", "5,0,4,2");
  shim_->InjectRv("ETC_UnblockPin", CKR_PIN_INCORRECT);
  SystemPinVendorPaths system;
  TransportPinActivation activation(port_, prompts_, system);
  TokenInfo info;
  info.userPinToBeChanged = true;
  info.minPinLen = 4;
  info.maxPinLen = 16;
  for (int i = 0; i < 2; ++i) prompts_.Answer("11223344", "2580");
  port_.answers = {kIdOk, kIdNo, kIdNo};
  EXPECT_FALSE(activation.Run(token, info, true));
  const std::string puk = "\nPUK kód zárolva lesz 2 hibás próbálkozás után.\nÚjra megpróbálja?";
  EXPECT_EQ(Boxes(), (std::vector<Box>{{kNoticeText, kNotice},
                                       {"Sikertelen globál PIN aktiválás!" + puk, kMbYesNo | kStop},
                                       {"Sikertelen aláíró PIN aktiválás!" + puk, kMbYesNo | kStop}}));
  EXPECT_FALSE(token->HasSession());

  shim_->ClearRv("ETC_UnblockPin");
  shim_->ClearLog();
  port_.boxes.clear();
  for (int i = 0; i < 2; ++i) prompts_.Answer("11223344", "2580");
  EXPECT_TRUE(activation.Run(token, info, true));
  std::vector<std::string> unblocks;
  for (const std::string& line : shim_->CallLog()) {
    if (line.rfind("ETC_UnblockPin|", 0) != 0) continue;
    unblocks.push_back(line.substr(line.find('|', 15) + 1));  // after the session handle
  }
  EXPECT_EQ(unblocks, (std::vector<std::string>{"0x1|2580|4|3|0|11223344|8",
                                                "0x80000002|2580|4|3|0|11223344|8"}));
  EXPECT_EQ(Boxes(), (std::vector<Box>{{kNoticeText, kNotice},
                                       {"Sikeres globál PIN feloldás!", kInfo},
                                       {"Sikeres aláíró PIN feloldás!", kInfo}}));
  EXPECT_FALSE(token->HasSession());
}

// Every PIN of an activation and of a page operation, right or wrong, stays out of the
// event log, the trace file and the process's output.
TEST_F(ActivationTest, NoPinReachesAnyLog) {
  AddToken("12345678", "739146");
  TvrTest::TempDir dir;
  const std::string tracePath = dir.Path() + "/trace.log";
  TvrCommon::SetDebugFile(tracePath, 4);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();

  SystemPinVendorPaths system;
  TransportPinActivation activation(port_, prompts_, system);
  PKCS11Base* token = Token(1);
  shim_->SetOption("token_flags_set", "0x80000");
  const TokenInfo info = *token->GetTokenInfo();
  prompts_.Answer("87651234", "246813");  // wrong security-officer PIN
  prompts_.Answer("12345678", "246813");
  EXPECT_FALSE(activation.Run(token, info, false));
  EXPECT_TRUE(activation.Run(token, info, false));

  // The page on a token of another type, whose module reads the activated token afresh.
  TvrTest::InstalledShim other(PinTest::ShimFileOf(3));
  std::unique_ptr<PKCS11Base> otherToken =
      PinTest::OpenToken(&VendorModuleTable[3], VendorModuleTable[3].moduleFile);
  ASSERT_NE(otherToken, nullptr);
  PinTest::FakeHost host;
  host.token = otherToken.get();
  ASSERT_TRUE(otherToken->OpenSession(true));
  PinOperations page(host, port_, prompts_, system);
  prompts_.Answer("975310", "864209");  // wrong current PIN
  prompts_.Answer("246813", "864209");
  page.Run(PinOperation::ChangePin);
  page.Run(PinOperation::ChangePin);
  otherToken->CloseSession();

  const std::string out = testing::internal::GetCapturedStdout() +
                          testing::internal::GetCapturedStderr();
  TvrCommon::SetDebugFile("", 0);
  std::ifstream trace(tracePath);
  std::stringstream traceText;
  traceText << trace.rdbuf();
  std::string events;
  for (const std::string& e : sandbox_.events->Texts()) events += e + "\n";
  std::string boxes;
  for (const auto& box : port_.boxes) boxes += box.text + "\n";
  ASSERT_FALSE(events.empty());  // the wrong PINs were logged as errors, without the PINs
  EXPECT_NE(boxes.find("Sikeres PIN megváltoztatás!"), std::string::npos) << boxes;
  for (const char* pin : {"87651234", "12345678", "246813", "975310", "864209", "739146"}) {
    EXPECT_EQ(events.find(pin), std::string::npos) << pin << " in " << events;
    EXPECT_EQ(traceText.str().find(pin), std::string::npos) << pin;
    EXPECT_EQ(out.find(pin), std::string::npos) << pin;
    EXPECT_EQ(boxes.find(pin), std::string::npos) << pin;
  }
}

}  // namespace
