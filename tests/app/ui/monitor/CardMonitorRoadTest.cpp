// Insertion, registration, revocation and removal on the full road: a private pcscd with
// the virtual reader and a scripted card, the test module posing as the Gemalto module
// over a SoftHSM2 token holding test-PKI certificates, and `openssl ocsp` answering.
#include "MonitorFixture.h"

#include "PcscRig.h"
#include "platform/Profile.h"

#include <signal.h>

#include <chrono>
#include <memory>
#include <thread>

using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

constexpr const char* kAtr = kClassicTpcAtr;

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

}  // namespace
