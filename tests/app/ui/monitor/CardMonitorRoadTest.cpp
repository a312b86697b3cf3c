// Insertion, registration, revocation and removal on the full road: a private pcscd with
// the virtual reader and a scripted card, the test module posing as the Gemalto module
// over a SoftHSM2 token holding test-PKI certificates, and `openssl ocsp` answering.
#include "CardMonitor.h"
#include "ServicesFixture.h"

#include "CardTables.h"
#include "PKCS11Versions.h"
#include "PcscRig.h"
#include "platform/CertStore.h"
#include "platform/Library.h"
#include "platform/Profile.h"

#include <openssl/x509v3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

// A T=0 answer-to-reset with the historical bytes "TAVRENIC01", named "Classic TPC".
constexpr const char* kAtr = "3B0A5441565245 4E49433031";
constexpr const char* kUnknownAtr = "3B0A5441565245 4E49433039";

class RecordingHost : public IMonitorHost {
 public:
  void QueueBalloon(const std::string& title, const std::string& text, uint32_t icon) override {
    std::lock_guard<std::mutex> guard(lock_);
    balloons_.push_back(title + " | " + text + " | " + std::to_string(icon));
  }
  void PostCardChanged() override { ++cardChanged_; }
  void PostReadersChanged() override { ++readersChanged_; }
  void ArmRestartTimer() override { restartArmed_ = true; }
  std::map<std::string, PKCS11Base*> Tokens() override { return tokens_; }

  std::vector<std::string> Balloons() const {
    std::lock_guard<std::mutex> guard(lock_);
    return balloons_;
  }
  bool Saw(const std::string& text) const {
    for (const std::string& b : Balloons())
      if (b.find(text) != std::string::npos) return true;
    return false;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    balloons_.clear();
  }

  std::map<std::string, PKCS11Base*> tokens_;
  std::atomic<int> cardChanged_{0};
  std::atomic<int> readersChanged_{0};
  std::atomic<bool> restartArmed_{false};

 private:
  mutable std::mutex lock_;
  std::vector<std::string> balloons_;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(20)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return condition();
}

class CardMonitorRoadTest : public ServicesFixture {
 protected:
  void SetUp() override {
    TvrTest::PcscSocketPath();  // before any PC/SC call: never the machine's pcscd
    if (const std::string reason = TvrTest::PcscRigUnavailableReason(); !reason.empty()) GTEST_SKIP() << reason;
    ServicesFixture::SetUp();
    ::setenv("TVR_SYSTEM_CONFIG_DIR", (dir_->Path() + "/machine").c_str(), 1);
    std::filesystem::create_directories(dir_->Path() + "/machine/Tavrenic");
    std::ofstream(dir_->Path() + "/machine/Tavrenic/smartcards.conf")
        << "[Classic TPC]\nATR = " << kAtr << "\n";
    try {
      pcscd_.Start();
    } catch (const TvrTest::PcscRigUnavailable& e) {
      GTEST_SKIP() << e.what();
    }
    store_ = Platform::CertStore::OpenSystem("MY");
    ASSERT_TRUE(store_);
  }

  void TearDown() override {
    if (monitor_) monitor_->Shutdown();
    monitor_.reset();
    registrar_.reset();
    tokenObject_.reset();
    cards_.clear();
    pcscd_.Stop();
    shim_.reset();
    tokens_.reset();
    if (dir_) ServicesFixture::TearDown();
  }

  // A card's token: the given certificates, each with its key (except CA certificates)
  // and the Gemalto container record that names it.
  void MakeToken(const std::string& label, const std::vector<const PkiItem*>& items) {
    if (!tokens_) tokens_.emplace();
    TvrTest::TokenSpec spec;
    spec.label = label;
    spec.withKeyAndCertificate = false;
    tokens_->AddToken(spec);
    int n = 0;
    for (const PkiItem* item : items) {
      ++n;
      const std::string id = "0" + std::to_string(n);
      const std::string base = dir_->Path() + "/" + label + id;
      std::vector<unsigned char> der = item->Der();
      std::ofstream(base + ".der", std::ios::binary).write(reinterpret_cast<const char*>(der.data()),
                                                            static_cast<std::streamsize>(der.size()));
      Tool({TVR_PKCS11_TOOL, "--module", TVR_SOFTHSM2_MODULE, "--token-label", label, "--login", "--pin", "1234",
            "--write-object", base + ".der", "--type", "cert", "--id", id, "--label", "cert" + id});
      if (X509_check_ca(item->Cert()) == 1) continue;
      std::ofstream(base + ".key.pem") << item->KeyPem();
      Tool({TVR_SOFTHSM2_UTIL, "--import", base + ".key.pem", "--token", label, "--id", id, "--label", "key" + id,
            "--pin", "1234"});
      // Container record: tag 01 the key's id, tag 02 the key spec (2: signature).
      const char descriptor[] = {0x01, 0x01, static_cast<char>(n), 0x02, 0x01, 0x02};
      std::ofstream(base + ".csp", std::ios::binary).write(descriptor, sizeof descriptor);
      Tool({TVR_PKCS11_TOOL, "--module", TVR_SOFTHSM2_MODULE, "--token-label", label, "--login", "--pin", "1234",
            "--write-object", base + ".csp", "--type", "data", "--application-label", "CSP", "--label",
            "container" + id});
    }
  }

  static void Tool(const std::vector<std::string>& argv) {
    std::string output;
    ASSERT_EQ(TvrTest::RunCommand(argv, &output), 0) << output;
  }

  // The test module as the Gemalto module, its tokens in the given readers.
  void StartMonitor(const std::map<std::string, std::string>& readers) {
    TvrTest::ShimOptions options;
    options.readers = readers;
    shim_.emplace("libgclib.so", options);
    tokenObject_ = PKCS11V220::Create(&VendorModuleTable[1], Platform::LoadLibrary("gclib.dll"));
    ASSERT_TRUE(tokenObject_ && tokenObject_->IsValid());
    host_.tokens_ = {{"Gemalto", tokenObject_.get()}};
    registrar_ = std::make_unique<CertificateRegistrar>(host_, store_.get());
    monitor_ = std::make_unique<CardMonitor>(host_, *registrar_);
    ASSERT_TRUE(monitor_->StartCardDetection(true));
  }

  TvrTest::ScriptedCard& Insert(int reader, const std::string& atr = kAtr) {
    cards_.push_back(std::make_unique<TvrTest::ScriptedCard>(pcscd_, reader, TvrTest::HexBytes(atr)));
    cards_.back()->Insert();
    return *cards_.back();
  }

  bool InStore(const PkiItem& item) const {
    std::vector<unsigned char> der = item.Der();
    auto context = Platform::CertContext::Create(der.data(), der.size());
    return store_->FindByThumbprint(context->Thumbprint()) != nullptr;
  }

  size_t StoreSize() const {
    std::vector<Platform::CertContextPtr> all;
    store_->Enumerate(all);
    return all.size();
  }

  PkiItem EncryptionLeaf(const std::string& cn) const {
    TvrTest::CertSpec spec;
    spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
    // RSA: the Gemalto card registers EC keys only through a key storage provider.
    spec.keyType = "rsa";
    spec.extensions = {{"keyUsage", "critical,keyEncipherment"}};
    return TvrTest::CertBuilder::Issue(spec, &TestPki::Get().Intermediate());
  }

  TvrTest::HttpTestServer server_;
  TvrTest::PrivatePcscd pcscd_;
  std::vector<std::unique_ptr<TvrTest::ScriptedCard>> cards_;
  std::optional<TvrTest::SoftHsmTokens> tokens_;
  std::optional<TvrTest::InstalledShim> shim_;
  std::unique_ptr<PKCS11Base> tokenObject_;
  Platform::CertStorePtr store_;
  RecordingHost host_;
  std::unique_ptr<CertificateRegistrar> registrar_;
  std::unique_ptr<CardMonitor> monitor_;
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
  ASSERT_TRUE(WaitFor([&] { return host_.restartArmed_.load(); }));
  EXPECT_EQ(StoreSize(), 0u);
  bool failedEvent = false;
  for (const std::string& e : Events()) failedEvent |= e.rfind("SCardGetStatusChange returned: 801000", 0) == 0;
  EXPECT_TRUE(failedEvent) << ::testing::PrintToString(Events());
  pcscd_.Stop();
  // The restart timer fires while the service is still away, then again once it is back.
  EXPECT_FALSE(monitor_->OnRestartTimer());
  pcscd_.Start();
  Insert(0);
  ASSERT_TRUE(monitor_->OnRestartTimer());
  ASSERT_TRUE(WaitFor([&] { return InStore(encryption); }));
}

}  // namespace
