// The card monitor over a scripted PC/SC service: reader hot-plug, state words with a
// counter in the high 16 bits, rare results of the status call, cards without an answer
// to reset or of no known type, two readers with one token slot, and shutdown. Tokens are
// SoftHSM2 behind the test module posing as the Gemalto module.
#include "FakePcsc.h"
#include "MonitorFixture.h"

#include "CardRecognition.h"
#include "platform/Profile.h"

#include <fstream>
#include <set>

using TvrTest::PkiItem;

namespace {

std::vector<uint8_t> Atr(const std::string& hex) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : hex)
    if (c != ' ') digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

const std::string kReaderA = "Reader A";
const std::string kReaderB = "Reader B";

class CardMonitorLogicTest : public MonitorFixture {
 protected:
  // A monitor without vendor tokens.
  void MakeBareMonitor() {
    registrar_ = std::make_unique<CertificateRegistrar>(host_, store_.get());
    monitor_ = std::make_unique<CardMonitor>(host_, *registrar_, pcsc_);
  }
  void Start() {
    ASSERT_TRUE(monitor_->StartCardDetection(true));
    ASSERT_TRUE(pcsc_.WaitUntilBlocked());
  }
  // Changes the world and waits until the monitor has handled it.
  template <typename F>
  void Then(F change) {
    change();
    ASSERT_TRUE(pcsc_.WaitUntilBlocked()) << ::testing::PrintToString(pcsc_.Calls());
  }
  // A card whose one certificate goes into the store without a responder.
  void CardInReaderA(const PkiItem& leaf) {
    MakeToken("Card0", {&leaf});
    MakeMonitor({{"Card0", kReaderA}}, pcsc_);
  }

  FakePcsc pcsc_;
};

TEST_F(CardMonitorLogicTest, ReaderHotPlugRebuildsTheListLoadsPromptsOnceAndReinitialisesTheModules) {
  MakeToken("Card0", {});
  MakeMonitor({{"Card0", kReaderA}}, pcsc_);
  Start();
  EXPECT_TRUE(HasEvent("SCardListReaders returned: 8010002E")) << ::testing::PrintToString(Events());
  EXPECT_TRUE(monitor_->GetReaderNameSet().empty());
  EXPECT_EQ(monitor_->CurrentReader(), "");
  EXPECT_EQ(host_.readersChanged_, 1);

  shim_->ClearLog();
  pcsc_.ClearCalls();
  Then([&] { pcsc_.AddReader(kReaderA); });
  EXPECT_EQ(monitor_->GetReaderNameSet(), std::set<std::string>{kReaderA});
  EXPECT_EQ(monitor_->CurrentReader(), kReaderA);
  EXPECT_EQ(host_.readersChanged_, 2);
  // An empty reader: the shared connect says "no smart card", the direct one gets in.
  EXPECT_EQ(pcsc_.Count("Connect Reader A shared"), 1u);
  EXPECT_EQ(pcsc_.Count("Connect Reader A direct"), 1u);
  EXPECT_EQ(pcsc_.Count("Disconnect"), 1u);
  EXPECT_EQ(shim_->CountCalls("C_Finalize"), 1u);
  EXPECT_EQ(shim_->CountCalls("C_Initialize"), 1u);
  EXPECT_TRUE(tokenObject_->IsInitialized());
  EXPECT_TRUE(host_.Balloons().empty()) << ::testing::PrintToString(host_.Balloons());

  // A reader plugged in with a card: prompts for it alone, the card goes the insertion road.
  pcsc_.ClearCalls();
  Then([&] { pcsc_.AddReader(kReaderB, Atr(kUnknownAtr), true); });
  EXPECT_EQ(monitor_->GetReaderNameSet(), (std::set<std::string>{kReaderA, kReaderB}));
  EXPECT_EQ(pcsc_.Count("Connect Reader A shared"), 0u);
  EXPECT_EQ(pcsc_.Count("Connect Reader B shared"), 1u);
  EXPECT_EQ(pcsc_.Count("Connect Reader B direct"), 0u);
  EXPECT_EQ(shim_->CountCalls("C_Finalize"), 2u);
  EXPECT_TRUE(host_.Saw("Kártya behelyezve az olvasóba | Kártyát helyeztek be ebbe az olvasóba: Reader B | 1"));
  EXPECT_TRUE(host_.Saw("Nem támogatott kártya"));
  EXPECT_EQ(monitor_->CurrentReader(), kReaderA);

  // Unplugging the first reader makes the next one current; the card in it stays known.
  host_.Clear();
  Then([&] { pcsc_.RemoveReader(kReaderA); });
  EXPECT_EQ(monitor_->GetReaderNameSet(), std::set<std::string>{kReaderB});
  EXPECT_EQ(monitor_->CurrentReader(), kReaderB);
  EXPECT_EQ(host_.readersChanged_, 4);
  EXPECT_TRUE(host_.Balloons().empty()) << ::testing::PrintToString(host_.Balloons());
}

struct InsertionCase {
  const char* name;
  std::string atr;  // hex, may be empty
  bool mute;
  uint32_t showBallons;
  uint32_t onlyFromRegistration;
  std::vector<std::string> insertionBalloons;
  std::string event;  // "" for none
  bool postsCardChanged;
  std::vector<std::string> removalBalloons;
};

const std::string kInserted = "Kártya behelyezve az olvasóba | Kártyát helyeztek be ebbe az olvasóba: Reader A | 1";
const std::string kReadError = "Kártya olvasási hiba | Távolítsa el, majd helyezze be ismét a kártyát! | 3";
const std::string kUnsupported = "Nem támogatott kártya | A kártyát nem támogatja a program. | 2";
const std::string kRemoved =
    "Kártya eltávolítva az olvasóból | Kártyát távolítottak el ebből az olvasóból: Reader A | 1";

const InsertionCase kInsertionCases[] = {
    {"EmptyAtr", "", false, 1, 0, {kInserted, kReadError}, "Smart card inserted; Reader: Reader A, ATR: -", false,
     {kRemoved}},
    {"UnknownAtr", kUnknownAtr, false, 1, 0, {kInserted, kUnsupported},
     "Smart card inserted; Reader: Reader A, ATR: 3B0A54415652454E49433039, Card: ", true, {kRemoved}},
    {"OnlyRegistrationBalloons", kUnknownAtr, false, 1, 1, {kUnsupported},
     "Smart card inserted; Reader: Reader A, ATR: 3B0A54415652454E49433039, Card: ", true, {}},
    {"BalloonsOffStillReadError", "", false, 0, 0, {kReadError}, "Smart card inserted; Reader: Reader A, ATR: -",
     false, {}},
    {"MuteCardIsNoInsertion", kUnknownAtr, true, 1, 0, {}, "", false, {}},
};

void PrintTo(const InsertionCase& c, std::ostream* os) { *os << c.name; }

class InsertionTest : public CardMonitorLogicTest, public ::testing::WithParamInterface<InsertionCase> {};

TEST_P(InsertionTest, BalloonsEventsAndNotices) {
  const InsertionCase& c = GetParam();
  ASSERT_TRUE(Platform::Profile().WriteDword("", "ShowBallons", c.showBallons));
  ASSERT_TRUE(Platform::Profile().WriteDword("", "ShowBallonsOnlyFromCertificateRegistration", c.onlyFromRegistration));
  MakeBareMonitor();
  pcsc_.AddReader(kReaderA);
  Start();
  ASSERT_EQ(monitor_->CurrentReader(), kReaderA);
  sink_->Clear();

  Then([&] { pcsc_.InsertCard(kReaderA, Atr(c.atr), c.mute); });
  EXPECT_EQ(host_.Balloons(), c.insertionBalloons);
  if (c.event.empty()) {
    EXPECT_TRUE(Events().empty()) << ::testing::PrintToString(Events());
  } else {
    EXPECT_TRUE(HasEvent(c.event)) << ::testing::PrintToString(Events());
  }
  EXPECT_EQ(host_.cardChanged_, c.postsCardChanged ? 1 : 0);
  EXPECT_EQ(StoreSize(), 0u);

  host_.Clear();
  const int noticesBefore = host_.cardChanged_;
  Then([&] { pcsc_.RemoveCard(kReaderA); });
  EXPECT_EQ(host_.Balloons(), c.removalBalloons);
  EXPECT_EQ(HasEvent("Smart card removed; Reader: Reader A"), !c.mute);
  EXPECT_EQ(host_.cardChanged_ - noticesBefore, c.mute ? 0 : 1);
  EXPECT_EQ(monitor_->CardName(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, InsertionTest, ::testing::ValuesIn(kInsertionCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CardMonitorLogicTest, CardInsertedRegistersAndLeavingUnregisters) {
  PkiItem leaf = EncryptionLeaf("Leaving");
  CardInReaderA(leaf);
  pcsc_.AddReader(kReaderA);
  Start();
  Then([&] { pcsc_.InsertCard(kReaderA, Atr(kClassicTpcAtr)); });
  EXPECT_TRUE(InStore(leaf));
  EXPECT_EQ(monitor_->CardName(), "Classic TPC");
  EXPECT_TRUE(host_.Saw("Regisztrálás... | Minden (1 db) tanúsítvány sikeresen beregisztrálva! | 1"))
      << ::testing::PrintToString(host_.Balloons());

  // A reader going unavailable under its card takes the card's certificates out as well,
  // and the window hears of it as of a removal.
  host_.Clear();
  const int notices = host_.cardChanged_;
  Then([&] { pcsc_.SetUnavailable(kReaderA); });
  EXPECT_EQ(StoreSize(), 0u);
  EXPECT_EQ(host_.Balloons(),
            (std::vector<std::string>{"Olvasó elérhetetlen | Ez az olvasó elérhetetlen: Reader A | 1",
                                      "Regisztrálás... | Minden (1 db) tanúsítvány sikeresen kiregisztrálva! | 1"}));
  EXPECT_EQ(host_.cardChanged_, notices + 1);
  EXPECT_EQ(monitor_->CardName(), "");
  EXPECT_FALSE(monitor_->HasCard(kReaderA));

  // Back with the card in it: an insertion.
  Then([&] { pcsc_.SetUnavailable(kReaderA, false); });
  EXPECT_TRUE(InStore(leaf));
  EXPECT_EQ(host_.cardChanged_, notices + 2);
  EXPECT_EQ(monitor_->CardName(), "Classic TPC");
}

// pcsc-lite's state words: flags in the low word, the reader's event count in the high one.
struct ClassifyCase {
  const char* name;
  DWORD current, event;
  std::vector<uint8_t> atrBefore, atrNow;
  ReaderEvent expected;
};
constexpr DWORD kPresent = SCARD_STATE_PRESENT, kEmpty = SCARD_STATE_EMPTY, kMute = SCARD_STATE_MUTE,
                kUnavailable = SCARD_STATE_UNAVAILABLE, kChanged = SCARD_STATE_CHANGED, kInUse = SCARD_STATE_INUSE;
constexpr DWORD Count(uint16_t n) { return static_cast<DWORD>(n) << 16; }
const std::vector<uint8_t> kAtr1 = {0x3B, 0x01}, kAtr2 = {0x3B, 0x02};
const ClassifyCase kClassifyCases[] = {
    {"Inserted", Count(4) | kEmpty, Count(5) | kPresent | kChanged, {}, kAtr1, ReaderEvent::Insertion},
    {"PresentAtStart", 0, Count(9) | kPresent | kChanged, {}, kAtr1, ReaderEvent::Insertion},
    {"Removed", Count(5) | kPresent, Count(6) | kEmpty | kChanged, kAtr1, {}, ReaderEvent::Removal},
    {"SwappedSameType", Count(5) | kPresent, Count(7) | kPresent | kChanged, kAtr1, kAtr1, ReaderEvent::Swap},
    {"SwappedCountWrapped", Count(0xFFFF) | kPresent, Count(1) | kPresent | kChanged, kAtr1, kAtr1, ReaderEvent::Swap},
    {"SwappedOtherAtrUncounted", Count(5) | kPresent, Count(5) | kPresent | kInUse | kChanged, kAtr1, kAtr2,
     ReaderEvent::Swap},
    {"SwappedForMute", Count(5) | kPresent, Count(7) | kPresent | kMute | kChanged, kAtr1, {}, ReaderEvent::Swap},
    // Another program connecting changes the flags only.
    {"InUse", Count(5) | kPresent, Count(5) | kPresent | kInUse | kChanged, kAtr1, kAtr1, ReaderEvent::None},
    // A service that leaves the answer-to-reset out is no other card.
    {"AtrLeftOut", Count(5) | kPresent, Count(5) | kPresent | kInUse | kChanged, kAtr1, {}, ReaderEvent::None},
    {"MuteInserted", Count(4) | kEmpty, Count(5) | kPresent | kMute | kChanged, {}, {}, ReaderEvent::None},
    {"MuteRemoved", Count(5) | kPresent | kMute, Count(6) | kEmpty | kChanged, {}, {}, ReaderEvent::None},
    {"Unavailable", Count(5) | kPresent, Count(6) | kUnavailable | kChanged, kAtr1, {}, ReaderEvent::Unavailable},
    {"UnavailableStill", Count(6) | kUnavailable | kPresent, Count(7) | kUnavailable | kPresent | kChanged, kAtr1,
     kAtr1, ReaderEvent::None},
    {"BackWithCard", Count(6) | kUnavailable, Count(7) | kPresent | kChanged, {}, kAtr1, ReaderEvent::Insertion},
    {"BackEmpty", Count(6) | kUnavailable, Count(7) | kEmpty | kChanged, {}, {}, ReaderEvent::None},
};
void PrintTo(const ClassifyCase& c, std::ostream* os) { *os << c.name; }

class ClassifyTest : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyTest, StateChangeMeans) {
  const ClassifyCase& c = GetParam();
  EXPECT_EQ(ClassifyReaderEvent(c.current, c.event, c.atrBefore, c.atrNow), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ClassifyTest, ::testing::ValuesIn(kClassifyCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Card A is pulled and card B (of the same type: the same answer-to-reset) put in while
// the monitor still reads A: the reader never reports EMPTY, only another event count.
// A's certificates go, the window hears of the change, and B is read.
TEST_F(CardMonitorLogicTest, CardSwappedDuringItsRegistrationIsAnotherCard) {
  PkiItem first = EncryptionLeaf("Swapped out");
  PkiItem second = EncryptionLeaf("Swapped in");
  MakeToken("Card0", {&first});
  MakeToken("Card1", {&second});
  MakeMonitor({{"Card0", kReaderA}, {"Card1", "Reader Z"}}, pcsc_);
  pcsc_.AddReader(kReaderA);
  Start();
  shim_->SetOption("delay_us.C_FindObjectsInit", "300000");
  shim_->ClearLog();
  pcsc_.InsertCard(kReaderA, Atr(kClassicTpcAtr));
  // A's slot is chosen and its objects are being read.
  ASSERT_TRUE(WaitFor([&] { return shim_->CountCalls("C_FindObjectsInit") > 0; }));
  const int notices = host_.cardChanged_;
  shim_->SetOption("reader.Card0", "Reader Z");
  shim_->SetOption("reader.Card1", kReaderA);
  Then([&] { pcsc_.SwapCard(kReaderA, Atr(kClassicTpcAtr)); });
  EXPECT_FALSE(InStore(first));
  EXPECT_TRUE(InStore(second));
  EXPECT_EQ(registrar_->RegisteredFor(kReaderA).size(), 1u);
  // A's insertion, its removal, B's insertion.
  EXPECT_EQ(host_.cardChanged_, notices + 3);
  EXPECT_TRUE(host_.Saw("Kártya eltávolítva az olvasóból")) << ::testing::PrintToString(host_.Balloons());
  EXPECT_EQ(monitor_->CardName(), "Classic TPC");
  EXPECT_TRUE(monitor_->HasCard(kReaderA));
}

// Plugging a reader initialises the modules afresh: the cards that stay are read again, so
// that the store follows what they hold now (here a certificate deleted meanwhile by
// another program), quietly.
TEST_F(CardMonitorLogicTest, ReaderPluggedReadsThePresentCardsAgain) {
  PkiItem leaf = EncryptionLeaf("Read again");
  CardInReaderA(leaf);
  pcsc_.AddReader(kReaderA, Atr(kClassicTpcAtr), true);
  Start();
  ASSERT_TRUE(InStore(leaf));
  {
    std::unique_ptr<PKCS11Base> other = tokenObject_->Clone();
    ASSERT_TRUE(SelectSlotForReader(other->GetSlotList(true), kReaderA, 0, other.get()));
    ASSERT_TRUE(other->OpenSession(true));
    TvrCommon::SecureString pin("1234");
    ASSERT_TRUE(other->Login(&pin, CKU_USER));
    std::unique_ptr<TokenObjects> objects = other->ReadObjects();
    ASSERT_TRUE(objects && objects->certificates.size() == 1u);
    ASSERT_TRUE(other->DestroyObject(objects->certificates.begin()->first));
    other->Logout();
    other->CloseSession();
  }
  host_.Clear();
  const int notices = host_.cardChanged_;
  Then([&] { pcsc_.AddReader(kReaderB); });
  EXPECT_FALSE(InStore(leaf));
  EXPECT_TRUE(registrar_->RegisteredFor(kReaderA).empty());
  EXPECT_FALSE(host_.Saw("Kártya behelyezve")) << ::testing::PrintToString(host_.Balloons());
  EXPECT_EQ(host_.cardChanged_, notices);
  EXPECT_TRUE(monitor_->HasCard(kReaderA));
}

// pcsc-lite reports an unplugged reader as unknown, not unavailable: its card's
// certificates must still leave the store with it.
TEST_F(CardMonitorLogicTest, ReaderUnpluggedWithItsCardUnregistersTheCard) {
  PkiItem leaf = EncryptionLeaf("Unplugged");
  CardInReaderA(leaf);
  pcsc_.AddReader(kReaderA);
  Start();
  Then([&] { pcsc_.InsertCard(kReaderA, Atr(kClassicTpcAtr)); });
  ASSERT_TRUE(InStore(leaf));
  Then([&] { pcsc_.RemoveReader(kReaderA); });
  EXPECT_EQ(StoreSize(), 0u);
  EXPECT_TRUE(monitor_->GetReaderNameSet().empty());
}

// The Oberthur module is only reinitialised: no slot work, nothing registered, and its card
// type excludes the provider registration.
TEST_F(CardMonitorLogicTest, OberthurCardReinitialisesItsModuleOnly) {
  std::ofstream(dir_->Path() + "/machine/Tavrenic/smartcards.conf", std::ios::app)
      << "[Oberthur Technologies IAS-ECC Device]\nATR = 3B0A5441565245 4E49433032\n"
      << "CryptoProvider = Microsoft Base Smart Card Crypto Provider\n";
  PkiItem leaf = EncryptionLeaf("Oberthur");
  MakeToken("Card0", {&leaf});
  MakeMonitor({{"Card0", kReaderA}}, pcsc_);
  host_.SetTokens({{"Oberthur", tokenObject_.get()}});
  pcsc_.AddReader(kReaderA);
  Start();
  shim_->ClearLog();
  Then([&] { pcsc_.InsertCard(kReaderA, Atr("3B0A5441565245 4E49433032")); });
  EXPECT_TRUE(HasEvent("Smart card inserted; Reader: Reader A, ATR: 3B0A54415652454E49433032, "
                       "Card: Oberthur Technologies IAS-ECC Device"))
      << ::testing::PrintToString(Events());
  EXPECT_EQ(shim_->CountCalls("C_Finalize"), 1u);
  EXPECT_EQ(shim_->CountCalls("C_GetSlotList"), 0u);
  EXPECT_EQ(StoreSize(), 0u);
  EXPECT_EQ(host_.Balloons(), std::vector<std::string>{kInserted});
}

// A card whose PIN must be changed first goes through the activation hook; refused, the
// card stays unregistered.
TEST_F(CardMonitorLogicTest, PinActivationDecidesTheRegistration) {
  PkiItem leaf = EncryptionLeaf("Transport");
  CardInReaderA(leaf);
  shim_->SetOption("token_flags_set", "0x80000");  // CKF_USER_PIN_TO_BE_CHANGED
  pcsc_.AddReader(kReaderA);
  Start();
  for (bool succeeds : {false, true}) {
    host_.activationSucceeds_ = succeeds;
    host_.activations_ = 0;
    Then([&] { pcsc_.InsertCard(kReaderA, Atr(kClassicTpcAtr)); });
    EXPECT_EQ(host_.activations_, 1) << succeeds;
    EXPECT_EQ(InStore(leaf), succeeds);
    EXPECT_EQ(host_.Saw("Regisztrálás..."), succeeds) << ::testing::PrintToString(host_.Balloons());
    Then([&] { pcsc_.RemoveCard(kReaderA); });
    host_.Clear();
  }
}

// A reader without a slot of its own must register nothing: the token would otherwise stay
// on the other reader's slot, and this reader's removal would take that card's certificates.
TEST_F(CardMonitorLogicTest, ReaderWithoutItsOwnSlotRegistersNothing) {
  PkiItem leaf = EncryptionLeaf("Only A");
  CardInReaderA(leaf);
  pcsc_.AddReader(kReaderA);
  pcsc_.AddReader(kReaderB);
  Start();
  ASSERT_EQ(monitor_->CurrentReader(), kReaderA);
  Then([&] { pcsc_.InsertCard(kReaderB, Atr(kClassicTpcAtr)); });
  EXPECT_TRUE(registrar_->RegisteredFor(kReaderB).empty());
  EXPECT_EQ(StoreSize(), 0u);
  EXPECT_FALSE(host_.Saw("Regisztrálás...")) << ::testing::PrintToString(host_.Balloons());
  EXPECT_EQ(host_.cardChanged_, 0);  // not the main window's reader

  Then([&] { pcsc_.InsertCard(kReaderA, Atr(kClassicTpcAtr)); });
  EXPECT_EQ(registrar_->RegisteredFor(kReaderA).size(), 1u);
  EXPECT_EQ(host_.cardChanged_, 1);
  Then([&] { pcsc_.RemoveCard(kReaderB); });
  EXPECT_TRUE(InStore(leaf));
  EXPECT_EQ(registrar_->RegisteredFor(kReaderA).size(), 1u);
  EXPECT_EQ(host_.cardChanged_, 1);
  EXPECT_EQ(monitor_->CardName(), "Classic TPC");
}

struct FailureCase {
  const char* name;
  LONG result;
  const char* event;
};

const FailureCase kFailureCases[] = {
    {"NoService", static_cast<LONG>(SCARD_E_NO_SERVICE), "SCardGetStatusChange returned: 8010001D"},
    // What pcsc-lite's client says when the daemon dies under a wait.
    {"CommunicationError", static_cast<LONG>(SCARD_F_COMM_ERROR), "SCardGetStatusChange returned: 80100013"},
    {"ServiceStopped", static_cast<LONG>(SCARD_E_SERVICE_STOPPED), "SCardGetStatusChange returned: 8010001E"},
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FailureTest : public CardMonitorLogicTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTest, UnregistersEverythingStopsAndRestartsOnTheTimer) {
  PkiItem leaf = EncryptionLeaf("Failure");
  CardInReaderA(leaf);
  pcsc_.AddReader(kReaderA, Atr(kClassicTpcAtr), true);  // present at start
  Start();
  ASSERT_TRUE(InStore(leaf));
  const int readerNotices = host_.readersChanged_;

  sink_->Clear();
  pcsc_.FailNextWait(GetParam().result);
  ASSERT_TRUE(WaitFor([&] { return !monitor_->Running(); }));
  EXPECT_EQ(StoreSize(), 0u);
  EXPECT_TRUE(HasEvent(GetParam().event)) << ::testing::PrintToString(Events());
  EXPECT_EQ(host_.restartArmed_, 1);
  EXPECT_EQ(host_.readersChanged_, readerNotices + 1);
  EXPECT_EQ(monitor_->CurrentReader(), "");
  EXPECT_EQ(monitor_->CardName(), "");
  EXPECT_TRUE(monitor_->GetReaderNameSet().empty());

  // The timer fires while the service is still away: no balloon, the timer is armed again
  // (by the monitor's thread: the interface thread never waits for the service).
  host_.Clear();
  pcsc_.SetServiceUp(false);
  monitor_->OnRestartTimer();
  ASSERT_TRUE(WaitFor([&] { return host_.restartArmed_ == 2 && !monitor_->Running(); }));
  EXPECT_TRUE(HasEvent("SCardEstablishContext returned: 8010001D"));
  EXPECT_TRUE(host_.Balloons().empty()) << ::testing::PrintToString(host_.Balloons());
  pcsc_.SetServiceUp(true);
  ASSERT_TRUE(monitor_->OnRestartTimer());
  ASSERT_TRUE(pcsc_.WaitUntilBlocked());
  EXPECT_TRUE(InStore(leaf));
  EXPECT_EQ(pcsc_.OpenContexts(), 1);
}

INSTANTIATE_TEST_SUITE_P(Codes, FailureTest, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CardMonitorLogicTest, StartWithoutServiceShowsTheDetectionBalloon) {
  MakeBareMonitor();
  pcsc_.SetServiceUp(false);
  monitor_->StartCardDetection(true);
  ASSERT_TRUE(WaitFor([&] { return host_.restartArmed_ == 1 && !monitor_->Running(); }));
  EXPECT_TRUE(HasEvent("SCardEstablishContext returned: 8010001D"));
  EXPECT_EQ(host_.Balloons(),
            std::vector<std::string>{"Automatikus kártyadetektálási hiba | Az automatikus kártyadetektálás "
                                     "elindítása sikertelen volt. A program folyamatosan próbálkozik az "
                                     "elindítással. | 3"});
  EXPECT_FALSE(monitor_->Running());
}

TEST_F(CardMonitorLogicTest, ShutdownCancelsTheWaitAndUnregistersQuietly) {
  PkiItem leaf = EncryptionLeaf("Shutdown");
  CardInReaderA(leaf);
  pcsc_.AddReader(kReaderA, Atr(kClassicTpcAtr), true);
  Start();
  ASSERT_TRUE(InStore(leaf));
  sink_->Clear();
  monitor_->Shutdown();
  EXPECT_GE(pcsc_.Count("Cancel"), 1u);
  EXPECT_FALSE(monitor_->Running());
  EXPECT_EQ(StoreSize(), 0u);
  EXPECT_FALSE(HasEventStarting("SCardGetStatusChange returned")) << ::testing::PrintToString(Events());
  EXPECT_EQ(host_.restartArmed_, 0);
  EXPECT_EQ(pcsc_.OpenContexts(), 0);
}

// A cancel reaches only a wait in progress: shutting down while the monitor is busy with
// a card must still end the thread.
TEST_F(CardMonitorLogicTest, ShutdownWhileACardIsBeingReadStillEnds) {
  PkiItem leaf = EncryptionLeaf("Busy");
  CardInReaderA(leaf);
  pcsc_.AddReader(kReaderA);
  Start();
  shim_->SetOption("delay_us", "20000");
  pcsc_.InsertCard(kReaderA, Atr(kClassicTpcAtr));
  ASSERT_TRUE(WaitFor([&] { return host_.Saw("Kártya behelyezve"); }));
  monitor_->Shutdown();
  EXPECT_FALSE(monitor_->Running());
  EXPECT_EQ(StoreSize(), 0u);
  EXPECT_FALSE(HasEventStarting("SCardGetStatusChange returned")) << ::testing::PrintToString(Events());
}

}  // namespace
