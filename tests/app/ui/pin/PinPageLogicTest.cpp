// The PIN page's logic per card type: token objects of each vendor row over the test
// module (SoftHSM2 behind it), vendor-library counters and results scripted, every
// message box checked by its exact text and icon.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "PinTestSupport.h"
#include "PcscRig.h"
#include "UiTestSupport.h"
#include "platform/MessageBox.h"
#include "platform/Profile.h"

namespace {

using namespace Platform;
using PinTest::FakeHost;
using PinTest::FakeVendorPaths;
using PinTest::ScriptedPrompts;

constexpr unsigned kInfo = kMbIconInformation;
constexpr unsigned kError = kMbIconError;
constexpr unsigned kWarning = kMbIconWarning;

const char* const kLastTry =
    "Már csak egy próbálkozási lehetősége maradt. Ha bizonytalan, kérje szakember segítségét!";

// Which token a case runs on: the vendor rows 0..3, or the Oberthur module without a row.
enum Card { Bit4id = 0, Gemalto = 1, Gemalto2 = 2, Oberthur = 3, NoRow = 4 };

struct Expected {
  std::string text;
  unsigned flags;
};

class PinPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TvrTest::PcscSocketPath();  // no PC/SC call of these tests reaches the machine's pcscd
    Platform::Profile().WriteDword("", "EventLogLevel", 3);
    softHsm_.AddToken({.withKeyAndCertificate = false});
  }
  void TearDown() override {
    for (auto& token : tokens_) {
      if (token && token->IsLoggedIn()) token->Logout();
      if (token && token->HasSession()) token->CloseSession();
    }
    for (auto& token : tokens_) token.reset();
  }

  // The token of a card with an open read-write session, as the main window holds it.
  PKCS11Base* TokenOf(Card card, TvrTest::ShimOptions options = {}) {
    const size_t row = card == NoRow ? 3 : static_cast<size_t>(card);
    if (!shims_[row]) shims_[row].emplace(PinTest::ShimFileOf(row), options);
    if (!tokens_[card]) {
      tokens_[card] = PinTest::OpenToken(card == NoRow ? nullptr : &VendorModuleTable[row],
                                         VendorModuleTable[row].moduleFile);
      if (!tokens_[card]) return nullptr;
      tokens_[card]->OpenSession(true);
    }
    return tokens_[card].get();
  }

  std::vector<Expected> Boxes() const {
    std::vector<Expected> boxes;
    for (const auto& box : port_.boxes) boxes.push_back({box.text, box.flags});
    return boxes;
  }

  UiTest::ProfileSandbox sandbox_;
  TvrTest::SoftHsmTokens softHsm_;
  std::optional<TvrTest::InstalledShim> shims_[4];  // by vendor row
  std::unique_ptr<PKCS11Base> tokens_[5];
  UiTest::ScriptedUserPort port_;
  ScriptedPrompts prompts_;
  FakeVendorPaths paths_;
  FakeHost host_;
  PinOperations page_{host_, port_, prompts_, paths_};
};

bool operator==(const Expected& a, const Expected& b) {
  return a.text == b.text && a.flags == b.flags;
}
void PrintTo(const Expected& e, std::ostream* os) { *os << "{\"" << e.text << "\", " << e.flags << "}"; }

struct OperationCase {
  const char* name;
  Card card;
  PinOperation operation;
  std::function<void(FakeVendorPaths&, ScriptedPrompts&)> script;
  std::vector<Expected> boxes;
  std::vector<std::string> calls;  // vendor-library calls; empty: none
  int dialogs;                     // PIN dialogs shown
};

TEST_F(PinPageTest, CardTypeOperationAndOutcomeGiveTheirTexts) {
  const auto answer = [](const char* a, const char* b) {
    return [a, b](FakeVendorPaths&, ScriptedPrompts& p) { p.Answer(a, b); };
  };
  const std::vector<OperationCase> cases = {
      // Bit4ID: the library per selector; bounds from the library.
      {"bit4id change done", Bit4id, PinOperation::ChangePin, answer("1234", "5678"),
       {{"Sikeres globál PIN megváltoztatás!", kInfo}},
       {"Bit4idChangePinPuk Virtual PCD 00 00 0 1234 5678"}, 1},
      {"bit4id change wrong, 1 left: no last-try warning", Bit4id, PinOperation::ChangePin,
       [](FakeVendorPaths& v, ScriptedPrompts& p) {
         v.bit4[0] = 1;
         v.results["Bit4idChangePinPuk"] = false;
         p.Answer("1234", "5678");
       },
       {{"Sikertelen globál PIN megváltoztatás!\nGlobál PIN kód zárolva lesz 1 hibás próbálkozás után.", kError}},
       {"Bit4idChangePinPuk Virtual PCD 00 00 0 1234 5678"}, 1},
      {"bit4id change blocked", Bit4id, PinOperation::ChangePin,
       [](FakeVendorPaths& v, ScriptedPrompts&) { v.bit4[0] = 0; },
       {{"Globál PIN kód zárolva.", kError}}, {}, 0},
      {"bit4id change cancelled", Bit4id, PinOperation::ChangePin, {}, {}, {}, 1},
      {"bit4id unblock wrong, 1 left: last-try warning", Bit4id, PinOperation::UnblockPin,
       [](FakeVendorPaths& v, ScriptedPrompts& p) {
         v.bit4[1] = 1;
         v.results["Bit4idUnblockPin"] = false;
         p.Answer("11111111", "5678");
       },
       {{std::string("Sikertelen globál PIN feloldás!\n") + kLastTry, kError}},
       {"Bit4idUnblockPin Virtual PCD 00 00 0 11111111 5678"}, 1},
      {"bit4id unblock blocked", Bit4id, PinOperation::UnblockPin,
       [](FakeVendorPaths& v, ScriptedPrompts&) { v.bit4[1] = 0; },
       {{"Globál PUK kód zárolva.", kError}}, {}, 0},
      {"bit4id signing change uses selector 2", Bit4id, PinOperation::ChangeSigningPin,
       answer("1234", "5678"), {{"Sikeres aláíró PIN megváltoztatás!", kInfo}},
       {"Bit4idChangePinPuk Virtual PCD 00 00 2 1234 5678"}, 1},
      {"bit4id signing change blocked before any dialog", Bit4id, PinOperation::ChangeSigningPin,
       [](FakeVendorPaths& v, ScriptedPrompts&) { v.bit4[2] = 0; },
       {{"Aláíró PIN kód zárolva.", kError}}, {}, 0},
      {"bit4id signing unblock uses selector 1, counts the signing PUK", Bit4id,
       PinOperation::UnblockSigningPin,
       [](FakeVendorPaths& v, ScriptedPrompts& p) {
         v.bit4[3] = 2;
         v.results["Bit4idUnblockPin"] = false;
         p.Answer("87654321", "5678");
       },
       {{"Sikertelen aláíró PIN feloldás!\nAláíró PUK kód zárolva lesz 2 hibás próbálkozás után.", kError}},
       {"Bit4idUnblockPin Virtual PCD 00 00 1 87654321 5678"}, 1},
      {"bit4id signing unblock blocked", Bit4id, PinOperation::UnblockSigningPin,
       [](FakeVendorPaths& v, ScriptedPrompts&) { v.bit4[3] = 0; },
       {{"Aláíró PUK kód zárolva.", kError}}, {}, 0},
      // Gemalto: card commands with the token's bounds; one PIN and one PUK.
      {"gemalto change done", Gemalto, PinOperation::ChangePin, answer("1234", "5678"),
       {{"Sikeres PIN megváltoztatás!", kInfo}},
       {"GemaltoChangePin Virtual PCD 00 00 4 255 1234 5678"}, 1},
      {"gemalto change wrong, 2 left", Gemalto, PinOperation::ChangePin,
       [](FakeVendorPaths& v, ScriptedPrompts& p) {
         v.gemalto[0] = 2;
         v.results["GemaltoChangePin"] = false;
         p.Answer("1234", "5678");
       },
       {{"Sikertelen PIN megváltoztatás!\nPIN kód zárolva lesz 2 hibás próbálkozás után.", kError}},
       {"GemaltoChangePin Virtual PCD 00 00 4 255 1234 5678"}, 1},
      {"gemalto change unknown counter adds no line", Gemalto, PinOperation::ChangePin,
       [](FakeVendorPaths& v, ScriptedPrompts& p) {
         v.results["GemaltoChangePin"] = false;
         p.Answer("1234", "5678");
       },
       {{"Sikertelen PIN megváltoztatás!", kError}},
       {"GemaltoChangePin Virtual PCD 00 00 4 255 1234 5678"}, 1},
      {"gemalto unblock wrong, 1 left", Gemalto, PinOperation::UnblockPin,
       [](FakeVendorPaths& v, ScriptedPrompts& p) {
         v.gemalto[1] = 1;
         v.results["GemaltoUnblockPin"] = false;
         p.Answer("11111111", "5678");
       },
       {{std::string("Sikertelen PIN feloldás!\n") + kLastTry, kError}},
       {"GemaltoUnblockPin Virtual PCD 00 00 4 255 11111111 5678"}, 1},
      {"gemalto unblock blocked", Gemalto, PinOperation::UnblockPin,
       [](FakeVendorPaths& v, ScriptedPrompts&) { v.gemalto[1] = 0; },
       {{"PUK kód zárolva.", kError}}, {}, 0},
      {"gemalto unblock done", Gemalto, PinOperation::UnblockPin, answer("11111111", "5678"),
       {{"Sikeres PIN feloldás!", kInfo}},
       {"GemaltoUnblockPin Virtual PCD 00 00 4 255 11111111 5678"}, 1},
      // Gemalto2: PKCS#11 for the global PIN change, the eToken extensions otherwise.
      {"gemalto2 change done", Gemalto2, PinOperation::ChangePin, answer("1234", "1234"),
       {{"Sikeres globál PIN megváltoztatás!", kInfo}}, {}, 1},
      {"gemalto2 change wrong PIN, 5 left", Gemalto2, PinOperation::ChangePin,
       answer("9999", "5678"),
       {{"Sikertelen globál PIN megváltoztatás!\nGlobál PIN kód zárolva lesz 5 hibás próbálkozás után.", kError}},
       {}, 1},
      {"gemalto2 change blocked", Gemalto2, PinOperation::ChangePin,
       [](FakeVendorPaths& v, ScriptedPrompts&) { v.etoken[0] = 0; },
       {{"Globál PIN kód zárolva.", kError}}, {}, 0},
      {"gemalto2 unblock wrong, PUK 3 left", Gemalto2, PinOperation::UnblockPin,
       [](FakeVendorPaths& v, ScriptedPrompts& p) {
         v.etoken[3] = 3;
         v.results["EtokenUnblockPin"] = false;
         p.Answer("11111111", "5678");
       },
       {{"Sikertelen globál PIN feloldás!\nPUK kód zárolva lesz 3 hibás próbálkozás után.", kError}},
       {"EtokenUnblockPin 11111111 5678"}, 1},
      {"gemalto2 signing unblock: the fourth counter is the PUK after a failure", Gemalto2,
       PinOperation::UnblockSigningPin,
       [](FakeVendorPaths& v, ScriptedPrompts& p) {
         v.etoken[3] = 1;
         v.results["EtokenUnblockSigningPin"] = false;
         p.Answer("11111111", "5678");
       },
       {{std::string("Sikertelen aláíró PIN feloldás!\n") + kLastTry, kError}},
       {"EtokenUnblockSigningPin 11111111 5678"}, 1},
      {"gemalto2 signing unblock: and the signing PUK before the operation", Gemalto2,
       PinOperation::UnblockSigningPin,
       [](FakeVendorPaths& v, ScriptedPrompts&) { v.etoken[3] = 0; },
       {{"Aláíró PUK kód zárolva.", kError}}, {}, 0},
      {"gemalto2 signing change done", Gemalto2, PinOperation::ChangeSigningPin,
       answer("1234", "5678"), {{"Sikeres aláíró PIN megváltoztatás!", kInfo}},
       {"EtokenChangeSigningPin 1234 5678"}, 1},
      {"gemalto2 signing change wrong", Gemalto2, PinOperation::ChangeSigningPin,
       [](FakeVendorPaths& v, ScriptedPrompts& p) {
         v.etoken[2] = 4;
         v.results["EtokenChangeSigningPin"] = false;
         p.Answer("1234", "5678");
       },
       {{"Sikertelen aláíró PIN megváltoztatás!\nAláíró PIN kód zárolva lesz 4 hibás próbálkozás után.", kError}},
       {"EtokenChangeSigningPin 1234 5678"}, 1},
      {"gemalto2 signing change cancelled", Gemalto2, PinOperation::ChangeSigningPin, {}, {}, {}, 1},
      // Another type: plain PKCS#11 for the change, no unblocking.
      {"other change done", Oberthur, PinOperation::ChangePin, answer("1234", "1234"),
       {{"Sikeres PIN megváltoztatás!", kInfo}}, {}, 1},
      {"other change wrong PIN: no tries line", Oberthur, PinOperation::ChangePin,
       answer("9999", "5678"), {{"Sikertelen PIN megváltoztatás!", kError}}, {}, 1},
      {"other unblock: not implemented before any dialog", Oberthur, PinOperation::UnblockPin,
       answer("11111111", "5678"), {{"Nincs implementálva!", kError}}, {}, 0},
      {"other signing unblock: nothing happens", Oberthur, PinOperation::UnblockSigningPin,
       answer("11111111", "5678"), {}, {}, 1},
      {"no row unblock: the dialog, then not implemented", NoRow, PinOperation::UnblockPin,
       answer("11111111", "5678"), {{"Nincs implementálva!", kError}}, {}, 1},
      {"no row change cancelled", NoRow, PinOperation::ChangePin, {}, {}, {}, 1},
  };
  for (const OperationCase& c : cases) {
    SCOPED_TRACE(c.name);
    paths_ = FakeVendorPaths{};
    paths_.limits = Bit4idPinLimits{{4, 8}, {8, 12}, {5, 9}, {6, 10}};
    prompts_ = ScriptedPrompts{};
    port_.boxes.clear();
    host_.token = TokenOf(c.card);
    ASSERT_NE(host_.token, nullptr);
    host_.info.reset();
    if (c.script) c.script(paths_, prompts_);
    page_.Run(c.operation);
    EXPECT_EQ(Boxes(), c.boxes);
    EXPECT_EQ(paths_.calls, c.calls);
    EXPECT_EQ(static_cast<int>(prompts_.asked.size()), c.dialogs);
    EXPECT_FALSE(host_.token->IsLoggedIn());
  }
}

TEST_F(PinPageTest, DialogTitlesAndBoundsFollowTheCardType) {
  paths_.limits = Bit4idPinLimits{{4, 8}, {8, 12}, {5, 9}, {6, 10}};
  host_.token = TokenOf(Bit4id);
  for (PinOperation op : {PinOperation::ChangePin, PinOperation::UnblockPin,
                          PinOperation::ChangeSigningPin, PinOperation::UnblockSigningPin})
    page_.Run(op);
  paths_.limits.reset();  // the library cannot tell: 1..16
  page_.Run(PinOperation::UnblockSigningPin);
  host_.token = TokenOf(Gemalto2);
  host_.info.reset();
  page_.Run(PinOperation::ChangePin);
  host_.token = TokenOf(Oberthur);
  host_.info.reset();
  page_.Run(PinOperation::ChangePin);
  EXPECT_EQ(prompts_.asked, (std::vector<std::string>{
                                "AskChange Globál PIN megváltoztatása 4 8",
                                "AskUnblock Globál PIN feloldása 4 8 8 12",
                                "AskChange Aláíró PIN megváltoztatása 5 9",
                                "AskUnblock Aláíró PIN feloldása 5 9 6 10",
                                "AskUnblock Aláíró PIN feloldása 1 16 1 16",
                                "AskChange Globál PIN megváltoztatása 4 255",
                                "AskChange PIN megváltoztatása 4 255",
                            }));
  EXPECT_TRUE(port_.boxes.empty());
}

TEST_F(PinPageTest, LoggedInTokenOnlyAsksToLogOut) {
  host_.token = TokenOf(Oberthur);
  const TvrCommon::SecureString pin("1234");
  ASSERT_TRUE(host_.token->LoginEx(&pin, false, nullptr));
  prompts_.Answer("1234", "5678");
  for (PinOperation op : {PinOperation::ChangePin, PinOperation::UnblockPin,
                          PinOperation::ChangeSigningPin, PinOperation::UnblockSigningPin})
    page_.Run(op);
  EXPECT_EQ(Boxes(), std::vector<Expected>(4, {"Kérem, jelentkezzen ki!", kWarning}));
  EXPECT_TRUE(prompts_.asked.empty());
  host_.token = nullptr;  // no card: the failure text of each operation
  port_.boxes.clear();
  page_.Run(PinOperation::ChangePin);
  page_.Run(PinOperation::UnblockSigningPin);
  EXPECT_EQ(Boxes(), (std::vector<Expected>{{"Sikertelen PIN megváltoztatás!", kError},
                                            {"Sikertelen aláíró PIN feloldás!", kError}}));
}

// Another card put in the reader in place of the one the operation started for, before
// anything reported it: while the PIN dialog is open, or at the last moment before the
// command goes out. The PINs go nowhere, no counter is asked of the other card, and the
// operation says the card changed.
TEST_F(PinPageTest, AnotherCardInTheReaderGetsNoPin) {
  struct Case {
    const char* name;
    Card card;
    PinOperation operation;
    bool lastMoment;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"gemalto change, during the dialog", Gemalto, PinOperation::ChangePin, false, {}},
      {"gemalto unblock, last moment", Gemalto, PinOperation::UnblockPin, true,
       {"GemaltoUnblockPin refused: another card"}},
      {"bit4id signing change, during the dialog", Bit4id, PinOperation::ChangeSigningPin, false, {}},
      {"bit4id unblock, last moment", Bit4id, PinOperation::UnblockPin, true,
       {"Bit4idUnblockPin refused: another card"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host_.token = TokenOf(c.card);
    paths_.card = CardIdentity{{0x3B, 0x01}, 7};
    paths_.calls.clear();
    port_.boxes.clear();
    const auto swap = [this] { paths_.card = CardIdentity{{0x3B, 0x01}, 9}; };
    prompts_.onAsk = c.lastMoment ? std::function<void()>() : swap;
    paths_.onAttempt = c.lastMoment ? swap : std::function<void()>();
    paths_.counterReads = 0;
    prompts_.Answer("12345678", "5678");
    page_.Run(c.operation);
    EXPECT_EQ(paths_.calls, c.calls);
    // The pre-check's counter of the card the operation started for, and no other.
    EXPECT_EQ(paths_.counterReads, 1);
    EXPECT_EQ(Boxes(), (std::vector<Expected>{
                           {"A parancs végrehajtása közben a kártya megváltozott vagy eltávolították.", kError}}));
  }
}

TEST_F(PinPageTest, PinPadReaderShowsNoDialogAndPassesNoValues) {
  TvrTest::ShimOptions options;
  host_.token = TokenOf(Bit4id, options);
  shims_[Bit4id]->SetOption("token_flags_set", "0x100");  // protected authentication path
  page_.Run(PinOperation::UnblockSigningPin);
  page_.Run(PinOperation::ChangePin);
  EXPECT_TRUE(prompts_.asked.empty());
  EXPECT_EQ(paths_.calls, (std::vector<std::string>{
                              "Bit4idUnblockPin Virtual PCD 00 00 1 null null",
                              "Bit4idChangePinPuk Virtual PCD 00 00 0 null null"}));
}

TEST_F(PinPageTest, StatusShowsTransportStateAndTheTypesCounters) {
  struct StatusCase {
    const char* name;
    Card card;
    std::function<void(FakeVendorPaths&)> script;
    std::string text;
  };
  const std::vector<StatusCase> cases = {
      {"bit4id: four counters, unknown ones left out", Bit4id,
       [](FakeVendorPaths& v) { v.bit4[0] = 3; v.bit4[1] = 10; v.bit4[2] = 0; },
       "Transzport állapot: nem\nGlobál PIN kód zárolva lesz 3 hibás próbálkozás után.\n"
       "Globál PUK kód zárolva lesz 10 hibás próbálkozás után.\nAláíró PIN kód zárolva."},
      {"bit4id: one try left is a count, not the warning", Bit4id,
       [](FakeVendorPaths& v) { v.bit4[3] = 1; },
       "Transzport állapot: nem\nAláíró PUK kód zárolva lesz 1 hibás próbálkozás után."},
      {"gemalto", Gemalto, [](FakeVendorPaths& v) { v.gemalto[0] = 2; v.gemalto[1] = 0; },
       "Transzport állapot: nem\nPIN kód zárolva lesz 2 hibás próbálkozás után.\nPUK kód zárolva."},
      {"gemalto2 never shows the second counter", Gemalto2,
       [](FakeVendorPaths& v) { v.etoken[0] = 7; v.etoken[1] = 0; v.etoken[2] = 0; v.etoken[3] = 9; },
       "Transzport állapot: nem\nGlobál PIN kód zárolva lesz 7 hibás próbálkozás után.\n"
       "Aláíró PIN kód zárolva.\nPUK kód zárolva lesz 9 hibás próbálkozás után."},
      {"gemalto2 unreadable counters", Gemalto2, [](FakeVendorPaths& v) { v.etokenReadable = false; },
       "Transzport állapot: nem"},
      {"other", Oberthur, {}, "Transzport állapot: nem"},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    paths_ = FakeVendorPaths{};
    port_.boxes.clear();
    host_.token = TokenOf(c.card);
    if (c.script) c.script(paths_);
    page_.ShowStatus();
    EXPECT_EQ(Boxes(), (std::vector<Expected>{{c.text, kInfo}}));
  }
  // A user PIN not initialised is the transport state; a locked one is told for another type.
  host_.token = TokenOf(Oberthur);
  shims_[Oberthur]->SetOption("token_flags_clear", "0x8");
  shims_[Oberthur]->SetOption("token_flags_set", "0x40000");
  port_.boxes.clear();
  page_.ShowStatus();
  EXPECT_EQ(Boxes(), (std::vector<Expected>{{"Transzport állapot: igen\nPIN kód zárolva.", kInfo}}));
  // No card, or one that cannot be read.
  port_.boxes.clear();
  host_.unreadable = true;
  page_.ShowStatus();
  host_.token = nullptr;
  page_.ShowStatus();
  EXPECT_EQ(Boxes(), (std::vector<Expected>{{"Hiba történt a kártya olvasása során!", kError},
                                            {"Nem áll rendelkezésre információ!", kInfo},
                                            {"Nem áll rendelkezésre információ!", kInfo}}));
}

TEST_F(PinPageTest, ButtonsFollowTheCardTypeAndPinState) {
  PinButtons buttons;
  buttons.changeEnabled = buttons.signingVisible = buttons.statusEnabled = true;
  page_.UpdateButtons(buttons);  // no card
  EXPECT_FALSE(buttons.changeEnabled || buttons.unblockEnabled || buttons.signingVisible ||
               buttons.signingEnabled || buttons.statusEnabled);
  host_.token = TokenOf(Gemalto2);
  page_.UpdateButtons(buttons);
  EXPECT_EQ(buttons.changeText, Res::StringId::GlobalPinChangeButton);
  EXPECT_EQ(buttons.unblockText, Res::StringId::GlobalPinUnblockButton);
  EXPECT_TRUE(buttons.changeEnabled && buttons.unblockEnabled && buttons.signingVisible &&
              buttons.signingEnabled && buttons.statusEnabled);
  host_.token = TokenOf(Gemalto);
  host_.info.reset();
  shims_[Gemalto]->SetOption("token_flags_clear", "0x8");  // user PIN not initialised
  page_.UpdateButtons(buttons);
  EXPECT_EQ(buttons.changeText, Res::StringId::PinChangeButton);
  EXPECT_FALSE(buttons.changeEnabled || buttons.unblockEnabled || buttons.signingVisible ||
               buttons.signingEnabled);
  EXPECT_TRUE(buttons.statusEnabled);
  host_.unreadable = true;
  EXPECT_FALSE(page_.UpdateButtons(buttons));
  EXPECT_EQ(Boxes(), (std::vector<Expected>{{"Hiba történt a kártya olvasása során!", kError}}));
}

// The change on a token of another type runs for real: the new PIN logs in, the old does
// not, and the status afterwards shows what the token reports.
TEST_F(PinPageTest, RealChangeOnSoftHsmAndStatusAfterwards) {
  host_.token = TokenOf(Oberthur);
  prompts_.Answer("1234", "86420");
  page_.Run(PinOperation::ChangePin);
  EXPECT_EQ(Boxes(), (std::vector<Expected>{{"Sikeres PIN megváltoztatás!", kInfo}}));
  PKCS11Base* token = host_.token;
  const TvrCommon::SecureString oldPin("1234"), newPin("86420");
  EXPECT_FALSE(token->LoginEx(&oldPin, false, nullptr));
  ASSERT_TRUE(token->LoginEx(&newPin, false, nullptr));
  ASSERT_TRUE(token->Logout());
  EXPECT_GE(host_.refreshes, 2);  // before the dialog and after the attempt

  // The token now reports its PIN locked: the status says so and the change is refused.
  shims_[Oberthur]->SetOption("token_flags_set", "0x40000");
  port_.boxes.clear();
  page_.ShowStatus();
  prompts_.Answer("86420", "1234");
  page_.Run(PinOperation::ChangePin);
  EXPECT_EQ(Boxes(), (std::vector<Expected>{{"Transzport állapot: nem\nPIN kód zárolva.", kInfo},
                                            {"PIN kód zárolva.", kError}}));
  EXPECT_TRUE(token->LoginEx(&newPin, false, nullptr));
}

// The new PIN is on the card even when the log-out after it fails: the user is told the
// change succeeded, and the failed log-out is an event of its own.
TEST_F(PinPageTest, LogoutFailureAfterTheChangeStillReportsTheChange) {
  host_.token = TokenOf(Oberthur);
  shims_[Oberthur]->InjectRv("C_Logout", 0x30);  // CKR_DEVICE_ERROR
  prompts_.Answer("1234", "97531");
  page_.Run(PinOperation::ChangePin);
  EXPECT_EQ(Boxes(), (std::vector<Expected>{{"Sikeres PIN megváltoztatás!", kInfo}}));
  const auto events = sandbox_.events->Texts();
  EXPECT_NE(std::find(events.begin(), events.end(), PinOperations::kLogoutFailedEvent),
            events.end());
  shims_[Oberthur]->ClearRv("C_Logout");
  PKCS11Base* token = host_.token;
  if (token->IsLoggedIn()) {
    ASSERT_TRUE(token->Logout());
  }
  const TvrCommon::SecureString newPin("97531");
  EXPECT_TRUE(token->LoginEx(&newPin, false, nullptr));

  // SetPIN refused after a good log-in: failure, and the log-in is undone.
  token->Logout();
  shims_[Oberthur]->InjectRv("C_SetPIN", 0x30);
  port_.boxes.clear();
  prompts_.Answer("97531", "1234");
  page_.Run(PinOperation::ChangePin);
  EXPECT_EQ(Boxes(), (std::vector<Expected>{{"Sikertelen PIN megváltoztatás!", kError}}));
  EXPECT_FALSE(token->IsLoggedIn());
}

}  // namespace
