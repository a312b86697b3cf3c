// Insertion, registration, revocation and removal on the full road: a private pcscd with
// the virtual reader and a scripted card, the test module posing as the Gemalto module
// over a SoftHSM2 token holding test-PKI certificates, and `openssl ocsp` answering.
#include "MonitorFixture.h"

#include "CardRecognition.h"
#include "PcscRig.h"
#include "platform/Profile.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

constexpr const char* kAtr = kClassicTpcAtr;

// A responder on 127.0.0.1 that keeps each request waiting until released, then closes it
// unanswered (a failed check lets the certificate through): a registration held in its
// revocation check for as long as the test needs.
class HeldResponder {
 public:
  HeldResponder() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("HeldResponder: no socket");
    port_ = ntohs(address.sin_port);
  }
  ~HeldResponder() {
    Release();
    ::close(fd_);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/ocsp"; }
  // Takes the next request (at most 20 s) and keeps it waiting.
  bool Hold() {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, 20000) != 1) return false;
    const int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return false;
    held_.push_back(connection);
    return true;
  }
  void Release() {
    for (int connection : held_) ::close(connection);
    held_.clear();
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> held_;
};

class CardMonitorRoadTest : public MonitorFixture {
 protected:
  void SetUp() override {
    TvrTest::PcscSocketPath();  // before any PC/SC call: never the machine's pcscd
    if (const std::string reason = TvrTest::PcscRigUnavailableReason(); !reason.empty()) GTEST_SKIP() << reason;
    MonitorFixture::SetUp();
    try {
      pcscd_.Start();
    } catch (const TvrTest::PcscRigUnavailable& e) {
      GTEST_SKIP() << e.what();
    }
  }

  void TearDown() override {
    if (monitor_) monitor_->Shutdown();
    monitor_.reset();
    cards_.clear();
    pcscd_.Stop();
    MonitorFixture::TearDown();
  }

  // The test module as the Gemalto module, its tokens in the given readers.
  void StartMonitor(const std::map<std::string, std::string>& readers) {
    MakeMonitor(readers, SystemPcsc());
    ASSERT_TRUE(monitor_->StartCardDetection(true));
  }

  TvrTest::ScriptedCard& Insert(int reader, const std::string& atr = kAtr) {
    cards_.push_back(std::make_unique<TvrTest::ScriptedCard>(pcscd_, reader, TvrTest::HexBytes(atr)));
    cards_.back()->Insert();
    return *cards_.back();
  }

  TvrTest::HttpTestServer server_;
  TvrTest::PrivatePcscd pcscd_;
  std::vector<std::unique_ptr<TvrTest::ScriptedCard>> cards_;
};

TEST_F(CardMonitorRoadTest, InsertionRegistersCheckedCertificatesAndRemovalTakesThemOut) {
  const std::string url = server_.Base() + "/fwd/r";
  PkiItem signing = Leaf({url}, "Signing", "rsa");
  PkiItem encryption = EncryptionLeaf("Encryption");
  auto responder = Responder({IndexLine(signing)});
  server_.Forward("r", responder->Port());
  MakeToken("Card0", {&signing, &encryption, &TestPki::Get().Intermediate()});

  StartMonitor({{"Card0", TvrTest::PrivatePcscd::ReaderName(0)}});
  Insert(0);
  ASSERT_TRUE(WaitFor([&] { return host_.Saw("Regisztrálás..."); })) << ::testing::PrintToString(host_.Balloons());
  EXPECT_TRUE(host_.Saw("Kártya behelyezve az olvasóba | Kártyát helyeztek be ebbe az olvasóba: Virtual PCD 00 00 | 1"));
  EXPECT_TRUE(host_.Saw("Regisztrálás... | Minden (2 db) tanúsítvány sikeresen beregisztrálva! | 1"))
      << ::testing::PrintToString(host_.Balloons());
  EXPECT_TRUE(InStore(signing));
  EXPECT_TRUE(InStore(encryption));
  EXPECT_FALSE(InStore(TestPki::Get().Intermediate()));
  EXPECT_EQ(StoreSize(), 2u);
  // Only the signing certificate was asked about.
  EXPECT_EQ(server_.Requests().size(), 1u);
  bool insertedEvent = false;
  for (const std::string& e : Events())
    insertedEvent |= e == "Smart card inserted; Reader: Virtual PCD 00 00, ATR: 3B0A54415652454E49433031, Card: Classic TPC";
  EXPECT_TRUE(insertedEvent) << ::testing::PrintToString(Events());

  cards_.back()->Remove();
  ASSERT_TRUE(WaitFor([&] { return host_.Saw("kiregisztrálva"); })) << ::testing::PrintToString(host_.Balloons());
  EXPECT_TRUE(host_.Saw("Kártya eltávolítva az olvasóból | Kártyát távolítottak el ebből az olvasóból: Virtual PCD 00 00"));
  EXPECT_TRUE(host_.Saw("Minden (2 db) tanúsítvány sikeresen kiregisztrálva!"));
  EXPECT_EQ(StoreSize(), 0u);
}

TEST_F(CardMonitorRoadTest, CardPresentAtStartIsRegisteredAndShutdownUnregistersQuietly) {
  PkiItem encryption = EncryptionLeaf("Present");
  MakeToken("Card0", {&encryption});
  Insert(0);
  ASSERT_TRUE(TvrTest::WaitForCard(TvrTest::PrivatePcscd::ReaderName(0), true));
  StartMonitor({{"Card0", TvrTest::PrivatePcscd::ReaderName(0)}});
  ASSERT_TRUE(WaitFor([&] { return InStore(encryption); }));
  EXPECT_EQ(monitor_->CurrentReader(), TvrTest::PrivatePcscd::ReaderName(0));
  EXPECT_TRUE(WaitFor([&] { return monitor_->CardName() == "Classic TPC"; }));
  sink_->Clear();
  monitor_->Shutdown();
  EXPECT_EQ(StoreSize(), 0u);
  for (const std::string& e : Events()) EXPECT_EQ(e.find("SCardGetStatusChange returned"), std::string::npos) << e;
}

TEST_F(CardMonitorRoadTest, RevokedCertificateIsRememberedAndNotAskedAgain) {
  const std::string url = server_.Base() + "/fwd/r";
  PkiItem revokedLeaf = Leaf({url}, "Revoked", "rsa");
  auto responder = Responder({IndexLine(revokedLeaf, "keyCompromise")});
  server_.Forward("r", responder->Port());
  MakeToken("Card0", {&revokedLeaf});
  StartMonitor({{"Card0", TvrTest::PrivatePcscd::ReaderName(0)}});
  Insert(0);
  ASSERT_TRUE(WaitFor([&] { return host_.Saw("Regisztrálás..."); }));
  EXPECT_TRUE(host_.Saw("1 tanúsítványból 1 beregisztrálása sikertelen volt! | 3"))
      << ::testing::PrintToString(host_.Balloons());
  EXPECT_FALSE(InStore(revokedLeaf));
  std::vector<std::string> remembered = Platform::Profile().GetMultiString("", "RevokedKeys");
  std::vector<unsigned char> der = revokedLeaf.Der();
  ASSERT_EQ(remembered.size(), 1u);
  EXPECT_EQ(remembered[0], Platform::CertContext::Create(der.data(), der.size())->Thumbprint());

  const size_t asked = server_.Requests().size();
  cards_.back()->Remove();
  ASSERT_TRUE(WaitFor([&] { return host_.Saw("Kártya eltávolítva"); }));
  host_.Clear();
  cards_.back()->Insert();
  ASSERT_TRUE(WaitFor([&] { return host_.Saw("Regisztrálás..."); }));
  EXPECT_EQ(server_.Requests().size(), asked);
}

TEST_F(CardMonitorRoadTest, UnknownCardRegistersNothing) {
  PkiItem encryption = EncryptionLeaf("Unknown");
  MakeToken("Card0", {&encryption});
  StartMonitor({{"Card0", TvrTest::PrivatePcscd::ReaderName(0)}});
  Insert(0, kUnknownAtr);
  ASSERT_TRUE(WaitFor([&] { return host_.Saw("Nem támogatott kártya"); }));
  EXPECT_TRUE(host_.Saw("Nem támogatott kártya | A kártyát nem támogatja a program. | 2"));
  EXPECT_EQ(StoreSize(), 0u);
}

TEST_F(CardMonitorRoadTest, TwoReadersKeepTheirOwnCertificates) {
  PkiItem first = EncryptionLeaf("First");
  PkiItem second = EncryptionLeaf("Second");
  MakeToken("Card0", {&first});
  MakeToken("Card1", {&second});
  StartMonitor({{"Card0", TvrTest::PrivatePcscd::ReaderName(0)}, {"Card1", TvrTest::PrivatePcscd::ReaderName(1)}});
  Insert(0);
  ASSERT_TRUE(WaitFor([&] { return InStore(first); }));
  Insert(1);
  ASSERT_TRUE(WaitFor([&] { return InStore(second); }));
  EXPECT_EQ(StoreSize(), 2u);
  cards_.front()->Remove();
  ASSERT_TRUE(WaitFor([&] { return !InStore(first); }));
  EXPECT_TRUE(InStore(second));
}

TEST_F(CardMonitorRoadTest, LostServiceUnregistersEverythingAndRestartFindsTheCardAgain) {
  PkiItem encryption = EncryptionLeaf("Lost");
  MakeToken("Card0", {&encryption});
  StartMonitor({{"Card0", TvrTest::PrivatePcscd::ReaderName(0)}});
  Insert(0);
  ASSERT_TRUE(WaitFor([&] { return InStore(encryption); }));
  cards_.clear();
  ::kill(pcscd_.Pid(), SIGKILL);
  ASSERT_TRUE(WaitFor([&] { return host_.restartArmed_ > 0; }));
  EXPECT_EQ(StoreSize(), 0u);
  bool failedEvent = false;
  for (const std::string& e : Events()) failedEvent |= e.rfind("SCardGetStatusChange returned: 801000", 0) == 0;
  EXPECT_TRUE(failedEvent) << ::testing::PrintToString(Events());
  pcscd_.Stop();
  // The restart timer fires while the service is still away (the attempt, on the
  // monitor's thread, asks for the timer again), then again once it is back.
  const int armed = host_.restartArmed_;
  monitor_->OnRestartTimer();
  ASSERT_TRUE(WaitFor([&] { return host_.restartArmed_ > armed && !monitor_->Running(); }));
  pcscd_.Start();
  Insert(0);
  ASSERT_TRUE(monitor_->OnRestartTimer());
  ASSERT_TRUE(WaitFor([&] { return InStore(encryption); }));
}

// Two cards a fifth of a second apart in two readers. A module that rescans its readers
// on every call answers a fill of the slot list "buffer too small" when the second card
// arrives between the count and the fill: both cards must still be registered.
TEST_F(CardMonitorRoadTest, TwoCardsInQuickSuccessionAreBothRegistered) {
  PkiItem first = EncryptionLeaf("Quick first");
  PkiItem second = EncryptionLeaf("Quick second");
  MakeToken("Card0", {&first});
  MakeToken("Card1", {&second});
  StartMonitor({{"Card0", TvrTest::PrivatePcscd::ReaderName(0)}, {"Card1", TvrTest::PrivatePcscd::ReaderName(1)}});
  shim_->SetOption("slot_fill_short", "1");
  Insert(0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Insert(1);
  EXPECT_TRUE(WaitFor([&] { return InStore(first) && InStore(second); }))
      << ::testing::PrintToString(host_.Balloons());
  EXPECT_GE(shim_->CountCalls("C_GetSlotList"), 6u);  // one fill did come short
}

// The contents page registers the card again (unregister, then register) on a thread of
// its own while the monitor watches; the card is pulled while that registration waits for
// its responder. The removal wins: nothing of the card stays in the store, and the card's
// next insertion registers as ever.
TEST_F(CardMonitorRoadTest, CardPulledDuringAReregistrationLeavesNothingRegistered) {
  HeldResponder responder;
  PkiItem signing = Leaf({responder.Url()}, "Pulled", "rsa");
  MakeToken("Card0", {&signing});
  const std::string reader = TvrTest::PrivatePcscd::ReaderName(0);
  StartMonitor({{"Card0", reader}});
  Insert(0);
  ASSERT_TRUE(responder.Hold());  // the insertion's check
  responder.Release();
  ASSERT_TRUE(WaitFor([&] { return InStore(signing); }));

  // The second caller works on a clone of the vendor's token, as the window does.
  std::unique_ptr<PKCS11Base> clone = tokenObject_->Clone();
  ASSERT_TRUE(SelectSlotForReader(clone->GetSlotList(true), reader, 0, clone.get()));
  ASSERT_TRUE(clone->OpenSession(false));
  std::unique_ptr<TokenObjects> objects = clone->ReadObjects();
  std::thread again([&] {
    registrar_->UnregisterCertificates(reader);
    registrar_->RegisterCertificates(reader, "Gemalto Classic Card CSP", "", clone.get(), objects.get());
  });
  struct JoinAtEnd {
    HeldResponder& responder;
    std::thread& thread;
    ~JoinAtEnd() {
      responder.Release();
      if (thread.joinable()) thread.join();
    }
  } joinAtEnd{responder, again};
  ASSERT_TRUE(responder.Hold());  // the re-registration waits for its check
  cards_.back()->Remove();
  ASSERT_TRUE(WaitFor([&] { return HasEvent("Smart card removed; Reader: " + reader); }));
  // The monitor unregisters the reader right after that line.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  responder.Release();
  again.join();
  EXPECT_EQ(StoreSize(), 0u);
  EXPECT_TRUE(HasEvent("RegisterCertificates; Reader: " + reader + "; the card left meanwhile"));
  EXPECT_TRUE(registrar_->RegisteredFor(reader).empty());

  cards_.back()->Insert();
  ASSERT_TRUE(responder.Hold());
  responder.Release();
  EXPECT_TRUE(WaitFor([&] { return InStore(signing); }));
}

// The card is pulled and another of the same type put in while the monitor waits in the
// first card's revocation check: pcsc-lite never shows the reader empty, only another
// event count. The first card's certificate goes, the second card's comes.
TEST_F(CardMonitorRoadTest, CardSwappedWhileItsRegistrationWaitsIsAnotherCard) {
  HeldResponder responder;
  PkiItem first = Leaf({responder.Url()}, "Swapped out", "rsa");
  PkiItem second = EncryptionLeaf("Swapped in");
  MakeToken("Card0", {&first});
  MakeToken("Card1", {&second});
  const std::string reader = TvrTest::PrivatePcscd::ReaderName(0);
  StartMonitor({{"Card0", reader}, {"Card1", "Elsewhere"}});
  Insert(0);
  ASSERT_TRUE(responder.Hold());  // the first card's check
  cards_.back()->Remove();
  ASSERT_TRUE(TvrTest::WaitForCard(reader, false));
  shim_->SetOption("reader.Card0", "Elsewhere");
  shim_->SetOption("reader.Card1", reader);
  Insert(0);
  ASSERT_TRUE(TvrTest::WaitForCard(reader, true));
  responder.Release();  // unanswered: the first card's certificate goes in
  EXPECT_TRUE(WaitFor([&] {
    return InStore(second) && !InStore(first) && registrar_->RegisteredFor(reader).size() == 1;
  })) << ::testing::PrintToString(host_.Balloons());
  EXPECT_TRUE(host_.Saw("Kártya eltávolítva az olvasóból")) << ::testing::PrintToString(host_.Balloons());
}

}  // namespace
