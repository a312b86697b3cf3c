// A SoftHSM2 token behind the test module (installed as the Gemalto module), filled with
// test-PKI certificates and keys, and the main window's side of the contents page:
// cached token information and objects, a scripted user port and a recording view.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>

#include "CardTables.h"
#include "ContentsHost.h"
#include "P11Rig.h"
#include "PKCS11Versions.h"
#include "RenewalTrust.h"
#include "SharedUtilities.h"
#include "SecureString.h"
#include "TestPki.h"
#include "UiTestSupport.h"
#include "platform/Library.h"

namespace UiTest {

// A renewal's trust with the test PKI's root as the anchor and its intermediate as a
// further issuer, as a renewal would find them in "ROOT" and "CA".
inline TvrServices::RenewalTrust TestPkiTrust(const TokenObjects& objects, const TvrServices::CandidateMap& candidates) {
  TvrServices::RenewalTrustStores stores;
  stores.anchors.emplace_back(X509_dup(TvrTest::TestPki::Get().Root().Cert()));
  stores.issuers.emplace_back(X509_dup(TvrTest::TestPki::Get().Intermediate().Cert()));
  return TvrServices::RenewalTrust(objects, candidates, stores, TvrCommon::Date::Now(), nullptr);
}

// Cached objects of a card whose old key pair (RSA with exponent 101, CKA_ID "445335",
// with its certificate, handle 1) was renewed into its partner key (RSA 65537, "445333",
// handle 4) that has no certificate yet, and the partner's new certificate as the only
// candidate: the old pair is offered for deletion (row 0) with the partner's install
// (row 1).
struct RenewedPairCard {
  RenewedPairCard() {
    const std::time_t now = std::time(nullptr);
    EvpPkeyPtr oldKey = RsaKey(101), partnerKey = RsaKey(65537);
    TvrTest::CertSpec spec;
    spec.extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"}};
    spec.subject = "/C=HU/O=Tavrenic/CN=Régi Pár";
    spec.notBefore = now - 10 * 86400;
    old = TvrTest::CertBuilder::Issue(spec, &TvrTest::TestPki::Get().Intermediate(), oldKey.get());
    spec.subject = "/C=HU/O=Tavrenic/CN=Társ Tamás";
    spec.notBefore = now - 86400;
    partner = TvrTest::CertBuilder::Issue(spec, &TvrTest::TestPki::Get().Intermediate(), partnerKey.get());
    objects.AddCertificate(1, "445335", "Régi", old.Der());
    objects.AddPublicKey(2, "445335", "Régi", false)->publicKey = std::move(oldKey);
    objects.AddPrivateKey(3, "445335", "Régi", false);
    objects.AddPublicKey(4, "445333", "Társ", false)->publicKey = std::move(partnerKey);
    candidates[CertificateThumbprintHex(partner.Cert())] = partner.Cert();
    trust = TestPkiTrust(objects, candidates);
  }
  static EvpPkeyPtr RsaKey(unsigned exponent) {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    BIGNUM* e = BN_new();
    BN_set_word(e, exponent);
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_keygen_init(context) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(context, 1024) == 1 &&
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context, e) == 1)
      EVP_PKEY_keygen(context, &key);
    BN_free(e);
    EVP_PKEY_CTX_free(context);
    return EvpPkeyPtr(key);
  }

  TvrTest::PkiItem old, partner;
  TokenObjects objects;
  TvrServices::CandidateMap candidates;
  TvrServices::RenewalTrust trust;
};

class ContentsFixture : public ::testing::Test, public IContentsHost, public IContentsView {
 protected:
  static constexpr const char* kLabel = "TvrCards";
  static constexpr const char* kReader = "Virtual PCD 00 00";

  ContentsFixture() {
    TvrTest::TokenSpec spec;
    spec.label = kLabel;
    spec.withKeyAndCertificate = false;
    tokens_.AddToken(spec);
  }

  // Writes the certificate (label certLabel, CKA_ID id) and, unless it is null, the key
  // pair of `key` with the same CKA_ID.
  void AddCertificate(const std::vector<unsigned char>& der, const std::string& id, const std::string& certLabel,
                      const TvrTest::PkiItem* key = nullptr, const std::string& keyLabel = "key") {
    const std::string base = dir_.Path() + "/obj" + std::to_string(++files_);
    WriteFile(base + ".der", der);
    Tool({TVR_PKCS11_TOOL, "--module", TVR_SOFTHSM2_MODULE, "--token-label", kLabel, "--login", "--pin", "1234",
          "--write-object", base + ".der", "--type", "cert", "--id", id, "--label", certLabel});
    if (key) AddKeyPair(*key, id, keyLabel);
  }
  void AddKeyPair(const TvrTest::PkiItem& key, const std::string& id, const std::string& label) {
    const std::string path = dir_.Path() + "/key" + std::to_string(++files_) + ".pem";
    std::ofstream(path) << key.KeyPem();
    Tool({TVR_SOFTHSM2_UTIL, "--import", path, "--token", kLabel, "--id", id, "--label", label, "--pin", "1234"});
  }
  static void Tool(const std::vector<std::string>& argv) {
    std::string output;
    ASSERT_EQ(TvrTest::RunCommand(argv, &output), 0) << output;
  }
  std::string WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  std::string TempFile(const std::string& name, const std::string& text) {
    const std::string path = dir_.Path() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  // The module and a logged-in read-write session on the token.
  void Open(bool login = true) {
    TvrTest::ShimOptions options;
    options.readers[kLabel] = kReader;
    shim_.emplace("libgclib.so", options);
    token_ = PKCS11V220::Create(&VendorModuleTable[1], Platform::LoadLibrary("gclib.dll"));
    ASSERT_TRUE(token_ && token_->IsValid());
    const auto slotList = token_->GetSlotList(true);
    ASSERT_EQ(slotList.size(), 1u);
    token_->SetSlot(slotList[0]);
    ASSERT_TRUE(token_->OpenSession(true));
    if (login) {
      TvrCommon::SecureString pin("1234");
      ASSERT_TRUE(token_->Login(&pin, CKU_USER));
    }
    GetTokenInfo(true);
    GetTokenObjects(true);
  }

  // The card as it is now, read afresh (the cache stays as it was).
  std::unique_ptr<TokenObjects> ReadCard() { return token_->ReadObjects(); }

  // IContentsHost
  CardHold HoldCard() override { return keeper_.HoldCard(); }
  PKCS11Base* Token() override { return token_.get(); }
  TokenInfo* GetTokenInfo(bool refresh) override {
    if (refresh || !info_) info_ = token_ ? token_->GetTokenInfo() : nullptr;
    return info_.get();
  }
  TokenObjects* GetTokenObjects(bool refresh) override {
    if (refresh || !objects_) objects_ = token_ ? token_->ReadObjects() : nullptr;
    return objects_.get();
  }
  std::string ReaderName() override { return kReader; }
  std::string CardName() override { return cardName_; }
  Platform::CertStore* PersonalStore() override { return store_.get(); }
  void UnregisterCertificates(const std::string& reader) override { registrations_.push_back("unregister " + reader); }
  void RegisterCertificates(const std::string& reader, const std::string& csp, const std::string& ksp,
                            PKCS11Base* token, const TokenObjects*) override {
    registrations_.push_back("register " + reader + "|" + csp + "|" + ksp + (token ? "|token" : "|none"));
  }

  // IContentsView
  void RefreshTree(bool refresh) override {
    ++refreshes_;
    GetTokenInfo(refresh);
    GetTokenObjects(refresh);
  }
  void SetBusy(bool busy) override { busy_ += busy ? 1 : -1; }
  std::optional<std::string> ChooseCertificateFile() override { return file_; }
  std::optional<std::string> ChooseFolder() override { return folder_; }
  void OpenFolder(const std::string& path) override { opened_.push_back(path); }
  bool ShowCertificate(const std::vector<uint8_t>& der) override {
    shown_.push_back(der);
    return true;
  }

  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const auto& box : port_.boxes) texts.push_back(box.text);
    return texts;
  }

  ProfileSandbox sandbox_;
  TvrTest::TempDir dir_;
  TvrTest::SoftHsmTokens tokens_;
  std::optional<TvrTest::InstalledShim> shim_;
  // The holds the commands take; a test marks the card gone through it.
  CardKeeper keeper_;
  std::unique_ptr<PKCS11Base> token_;
  std::unique_ptr<TokenInfo> info_;
  std::unique_ptr<TokenObjects> objects_;
  ScriptedUserPort port_;
  Platform::CertStorePtr store_ = Platform::CertStore::OpenMemory();
  std::string cardName_ = "Classic TPC";
  std::vector<std::string> registrations_;
  int refreshes_ = 0;
  int busy_ = 0;
  std::optional<std::string> file_;
  std::optional<std::string> folder_;
  std::vector<std::string> opened_;
  std::vector<std::vector<uint8_t>> shown_;
  int files_ = 0;
};

}  // namespace UiTest
