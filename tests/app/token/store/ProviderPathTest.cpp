// Registration of the certificates that a card's own provider exposes, with memory stores
// standing in for the card stores, and the one-certificate primitive's failures.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>

#include "EventLog.h"
#include "Registration.h"
#include "SmartCardProviders.h"
#include "StoreFixture.h"
#include "platform/LastError.h"
#include "platform/Profile.h"

namespace {

using Platform::CertAddDisposition;
using Platform::CertContextPtr;
using Platform::CertStore;
using StoreTest::CertSpec;

constexpr const char* kReader = "Reader X 0";

// A card store holding the given certificates.
Platform::CertStorePtr CardStore(const std::vector<CertContextPtr>& certificates) {
  auto store = CertStore::OpenMemory();
  for (const auto& c : certificates) EXPECT_NE(store->Add(*c, CertAddDisposition::New), nullptr);
  return store;
}

class FakeProviders : public SmartCardProviders {
 public:
  struct Csp : CspContext {
    explicit Csp(std::vector<CertContextPtr> c) : certificates(std::move(c)) {}
    Platform::CertStorePtr GetUserCertStore() override { return CardStore(certificates); }
    std::vector<CertContextPtr> certificates;
  };
  struct Ksp : KeyStorageProvider {
    explicit Ksp(std::vector<CertContextPtr> c) : certificates(std::move(c)) {}
    Platform::CertStorePtr GetUserCertStore() override { return CardStore(certificates); }
    std::vector<CertContextPtr> certificates;
  };

  std::vector<InstalledProvider> EnumProviders() override {
    return {{"Other CSP", 24}, {"Fake CSP", 1}, {"Broken CSP", 1}};
  }
  std::unique_ptr<KeyStorageProvider> OpenStorageProvider(const std::string& name) override {
    if (name != "Fake KSP") return nullptr;
    return std::make_unique<Ksp>(kspCertificates);
  }
  std::unique_ptr<CspContext> AcquireContext(const std::string& container, const std::string& provider,
                                             uint32_t type, uint32_t flags) override {
    acquired.push_back(container + "|" + provider + "|" + std::to_string(type) + "|" + std::to_string(flags));
    if (provider != "Fake CSP") {
      Platform::SetLastError(Platform::kNteProvDllNotFound);
      return nullptr;
    }
    return std::make_unique<Csp>(cspCertificates);
  }

  std::vector<CertContextPtr> kspCertificates, cspCertificates;
  std::vector<std::string> acquired;
};

class ProviderPathTest : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    target_ = CertStore::OpenSystem("MY");
    ASSERT_NE(target_, nullptr);
  }
  void TearDown() override {
    SetSmartCardProviders(nullptr);
    StoreFixture::TearDown();
  }
  static CertContextPtr Make(long serial, long notAfterSeconds = 365L * 86400) {
    CertSpec spec;
    spec.subject = {{"CN", "Card " + std::to_string(serial)}};
    spec.serial = serial;
    spec.notBeforeSeconds = -60L * 86400;
    spec.notAfterSeconds = notAfterSeconds;
    return Context(StoreTest::MakeCertificateDer(spec));
  }
  size_t TargetSize() const {
    std::vector<CertContextPtr> all;
    target_->Enumerate(all);
    return all.size();
  }

  Platform::CertStorePtr target_;
  ReaderCertificateMap map_;
  int registered_ = 0, expired_ = 0, expiring_ = 0;
};

TEST_F(ProviderPathTest, CopyTakesEveryCardCertificateWithItsProperties) {
  auto withInfo = Make(1);
  withInfo->SetKeyProvInfo(Platform::CertKeyProvInfo{"c1", "Card KSP", 1, 0, 2});
  auto expiring = Make(2, 5L * 86400);
  auto expired = Make(3, -86400);
  CopyCardStoreCertificates(CardStore({withInfo, expiring, expired}), target_.get(), map_, kReader,
                            registered_, expired_, expiring_);
  EXPECT_EQ(registered_, 3);
  EXPECT_EQ(expired_, 1);
  EXPECT_EQ(expiring_, 1);
  EXPECT_EQ(TargetSize(), 3u);
  EXPECT_EQ(map_[kReader].size(), 3u);
  auto events = Events();
  std::sort(events.begin(), events.end());
  EXPECT_EQ(events, (std::vector<std::string>{
                        "Certificate added to the store!", "Certificate added to the store!",
                        "Certificate added to the store! ContainerName: c1; ProvName: Card KSP; ProvType: 1; KeySpec: 2"}));
  EXPECT_EQ(target_->FindByThumbprint(withInfo->Thumbprint())->Properties(), withInfo->Properties());

  // A target that takes nothing: one error per certificate, nothing counted.
  sink_->Clear();
  registered_ = 0;
  CopyCardStoreCertificates(CardStore({withInfo}), nullptr, map_, kReader, registered_, expired_, expiring_);
  EXPECT_EQ(registered_, 0);
  EXPECT_EQ(Events(), std::vector<std::string>{"CertAddCertificateContextToStore error: " +
                                               Win32ErrorText(Platform::kErrorInvalidHandle)});
}

// The card's own store is asked of no responder, but what "RevokedKeys" lists (in either
// letter case) is not copied.
TEST_F(ProviderPathTest, CopyLeavesOutWhatRevokedKeysLists) {
  auto revoked = Make(1);
  auto kept = Make(2);
  std::string upper = revoked->Thumbprint();
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_TRUE(Platform::Profile().WriteMultiString("", "RevokedKeys", {upper}));
  CopyCardStoreCertificates(CardStore({revoked, kept}), target_.get(), map_, kReader, registered_, expired_,
                            expiring_);
  EXPECT_EQ(registered_, 1);
  EXPECT_EQ(TargetSize(), 1u);
  EXPECT_FALSE(target_->FindByThumbprint(revoked->Thumbprint()));
  EXPECT_TRUE(target_->FindByThumbprint(kept->Thumbprint()));
}

TEST_F(ProviderPathTest, KeyStorageProviderFirstThenServiceProvider) {
  auto fake = std::make_shared<FakeProviders>();
  fake->kspCertificates = {Make(1), Make(2, -86400)};
  fake->cspCertificates = {Make(3, 3L * 86400)};
  SetSmartCardProviders(fake);

  EXPECT_EQ(RegisterViaCspOrKsp(kReader, "Fake CSP", "Fake KSP", target_.get(), map_, expired_, expiring_), 2);
  EXPECT_EQ(expired_, 1);
  EXPECT_TRUE(fake->acquired.empty());  // a key storage provider name decides the path
  EXPECT_EQ(RegisterViaCspOrKsp(kReader, "Fake CSP", "Absent KSP", target_.get(), map_, expired_, expiring_), 0);
  EXPECT_TRUE(fake->acquired.empty());

  EXPECT_EQ(RegisterViaCspOrKsp(kReader, "Fake CSP", "", target_.get(), map_, expired_, expiring_), 1);
  EXPECT_EQ(expiring_, 1);
  EXPECT_EQ(fake->acquired, std::vector<std::string>{std::string("\\\\.\\") + kReader + "\\|Fake CSP|1|4026531840"});
  EXPECT_EQ(map_[kReader].size(), 3u);

  sink_->Clear();
  EXPECT_EQ(RegisterViaCspOrKsp(kReader, "Not Installed CSP", "", target_.get(), map_, expired_, expiring_), 0);
  EXPECT_EQ(RegisterViaCspOrKsp(kReader, "", "", target_.get(), map_, expired_, expiring_), 0);
  EXPECT_EQ(fake->acquired.size(), 1u);
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(RegisterViaCspOrKsp(kReader, "Broken CSP", "", target_.get(), map_, expired_, expiring_), 0);
  EXPECT_EQ(Events(), std::vector<std::string>{"CryptAcquireContext error: " +
                                               Win32ErrorText(Platform::kNteProvDllNotFound)});

  uint32_t type = 0;
  EXPECT_TRUE(GetProviderTypeByName("Other CSP", type));
  EXPECT_EQ(type, 24u);
  EXPECT_FALSE(GetProviderTypeByName("other csp", type));  // exact names only
}

TEST_F(ProviderPathTest, TheSystemKnowsNoProviderWhateverTheCardDatabaseNames) {
  std::ofstream(dir_->Path() + "/config/Tavrenic/smartcards.conf")
      << "[Classic TPC]\nCryptoProvider = Gemalto Classic Card CSP\n"
         "KeyStorageProvider = Microsoft Smart Card Key Storage Provider\n"
         "[Incard  TS2048]\nCryptoProvider = Bit4id Universal Middleware Provider\n";
  uint32_t type = 77;
  for (const char* name : {"Gemalto Classic Card CSP", "Bit4id Universal Middleware Provider",
                           "Microsoft Smart Card Key Storage Provider", "Unknown CSP"}) {
    EXPECT_FALSE(GetProviderTypeByName(name, type)) << name;
  }
  EXPECT_EQ(type, 77u);

  // Registration through the providers the card database names finds none, quietly.
  EXPECT_EQ(RegisterViaCspOrKsp(kReader, "", "Microsoft Smart Card Key Storage Provider", target_.get(), map_,
                                expired_, expiring_), 0);
  EXPECT_EQ(RegisterViaCspOrKsp(kReader, "Gemalto Classic Card CSP", "", target_.get(), map_, expired_, expiring_), 0);
  EXPECT_EQ(RegisterViaCspOrKsp(kReader, "Bit4id Universal Middleware Provider", "", target_.get(), map_, expired_,
                                expiring_), 0);
  EXPECT_TRUE(Events().empty()) << ::testing::PrintToString(Events());
  const NCryptFunctions functions = LoadNCryptFunctions();
  EXPECT_EQ(functions.module, nullptr);
  EXPECT_FALSE(functions.Complete());
  EXPECT_EQ(TargetSize(), 0u);
  EXPECT_TRUE(map_.empty());
}

TEST_F(ProviderPathTest, OneCertificatePrimitiveFailures) {
  const uint8_t junk[] = {0x30, 0x01, 0x00};
  RegisterCertificateInStore(junk, sizeof junk, "c", "p", 1, 1, target_.get(), map_, kReader, registered_,
                             expired_, expiring_, false);
  EXPECT_TRUE(Events().empty());  // undecodable: skipped without a word

  auto context = Make(1);
  const auto& der = context->Encoded();
  RegisterCertificateInStore(der.data(), der.size(), "c", "p", 1, 1, nullptr, map_, kReader, registered_,
                             expired_, expiring_, false);
  EXPECT_EQ(Events(), std::vector<std::string>{"CertAddCertificateContextToStore error: " +
                                               Win32ErrorText(Platform::kErrorInvalidHandle)});
  EXPECT_EQ(registered_, 0);
  EXPECT_TRUE(map_.empty());
}

}  // namespace

namespace {

TEST(GemaltoDescriptor, LengthsFromTheCardAreChecked) {
  struct Case {
    std::vector<uint8_t> value;
    bool ok;
    std::string id;
    uint32_t keySpec;
  } cases[] = {
      {{0x01, 0x02, 0xa1, 0xb2, 0x02, 0x01, 0x02}, true, "a1b2", 2},
      {{0x01, 0x01, 0xaa, 0x02, 0x03, 0x01, 0xff, 0xff, 0x99}, true, "aa", 1},  // extra bytes ignored
      {{0x01, 0x00, 0x02, 0x01, 0x02}, true, "", 2},
      {{}, false, "", 0},
      {{0x01}, false, "", 0},
      {{0x01, 0xff, 0xa1}, false, "", 0},                      // identifier longer than the value
      {{0x01, 0x01, 0xaa}, false, "", 0},                      // second element missing
      {{0x01, 0x01, 0xaa, 0x02}, false, "", 0},                // its length missing
      {{0x01, 0x01, 0xaa, 0x02, 0x01}, false, "", 0},          // its value missing
      {{0x01, 0x01, 0xaa, 0x02, 0x02, 0x01}, false, "", 0},    // shorter than it claims
      {{0x01, 0x01, 0xaa, 0x02, 0x00}, false, "", 0},          // no key spec
      {{0x01, 0x01, 0xaa, 0x02, 0x04, 1, 0, 0, 0}, false, "", 0},  // length 4 or more
      {{0x01, 0x01, 0xaa, 0x03, 0x01, 0x01}, false, "", 0},    // wrong second tag
      {{0x04, 0x01, 0xaa, 0x02, 0x01, 0x01}, false, "", 0},    // does not begin with tag 1
  };
  for (const auto& c : cases) {
    std::string id = "unchanged";
    uint32_t keySpec = 77;
    EXPECT_EQ(ParseGemaltoContainerDescriptor(c.value, id, keySpec), c.ok) << ::testing::PrintToString(c.value);
    if (c.ok) {
      EXPECT_EQ(id, c.id);
      EXPECT_EQ(keySpec, c.keySpec);
    }
  }
}

}  // namespace
