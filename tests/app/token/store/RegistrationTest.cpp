// Registration of a SoftHSM2 token's certificates through the shim, by provider.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "Registration.h"
#include "TestCertificates.h"
#include "TokenTestFixture.h"
#include "platform/CertStore.h"

namespace {

using Platform::CertContextPtr;
using Platform::CertStore;
using StoreTest::CertSpec;

constexpr const char* kBit4Id = "Bit4id Universal Middleware Provider";
const std::string kContainerPrefix = std::string("\\\\.\\") + "Virtual PCD 00 00" + "\\";

class RegistrationTest : public TokenTest {
 protected:
  // The rig's EC key pair with its certificate, id 01.
  TvrTest::TokenSpec InitialToken() const override { return TvrTest::TokenSpec{}; }

  void SetUp() override {
    TokenTest::SetUp();
    ::setenv("XDG_DATA_HOME", (profileDir_->Path() + "/data").c_str(), 1);
    store_ = CertStore::OpenSystem("MY");
    ASSERT_NE(store_, nullptr);
  }

  void TearDown() override {
    if (token_ && token_->HasSession()) token_->CloseSession();
    token_.reset();
    TokenTest::TearDown();
  }

  // Loads the module and logs in; objects prepared with pkcs11-tool must exist by now.
  void Start() {
    InstallShim();
    token_ = CreateLoggedInToken();
  }

  std::vector<uint8_t> PutCertificate(const std::string& idHex, CertSpec spec) {
    static long serial = 100;
    spec.serial = ++serial;
    auto der = StoreTest::MakeCertificateDer(spec);
    const unsigned char* p = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    const std::string label = "cert " + idHex;
    EXPECT_TRUE(token_->CreateCertificate(&idHex, &label, 0, certificate.get()));
    return der;
  }

  void PutData(const std::string& label, const std::string& application, std::vector<uint8_t> value) {
    EXPECT_TRUE(token_->CreateDataObject(false, &label, &application, value.data(),
                                         static_cast<uint32_t>(value.size())));
  }

  void Read() { objects_ = token_->ReadObjects(); }

  CK_OBJECT_HANDLE Certificate(const std::string& idHex) const {
    CK_OBJECT_HANDLE handle = FindObjectHandleById(objects_->certificates, idHex);
    EXPECT_NE(handle, 0u) << idHex;
    return handle;
  }

  void Register(const std::string& idHex, const std::string& provider, uint32_t type = 1) {
    RegisterPkcs11CardCertificates(token_.get(), objects_.get(), Certificate(idHex), store_.get(), provider,
                                   type, kReader, map_, registered_, expired_, expiring_);
  }

  // The key-provider information stored for the certificate; none when it is not in the store.
  std::optional<Platform::CertKeyProvInfo> Stored(const std::vector<uint8_t>& der) const {
    auto context = Platform::CertContext::Create(der.data(), der.size());
    auto stored = store_->FindByThumbprint(context->Thumbprint());
    if (!stored) return std::nullopt;
    EXPECT_TRUE(stored->Properties().keyProvInfo);
    return stored->Properties().keyProvInfo;
  }

  size_t StoreSize() const {
    std::vector<CertContextPtr> all;
    store_->Enumerate(all);
    return all.size();
  }

  std::unique_ptr<PKCS11Base> token_;
  std::unique_ptr<TokenObjects> objects_;
  Platform::CertStorePtr store_;
  ReaderCertificateMap map_;
  int registered_ = 0;
  int expired_ = 0;
  int expiring_ = 0;
};

TEST_F(RegistrationTest, Bit4IdContainerFromTheIdentifierText) {
  Start();
  struct Case {
    std::string id, provider, container;
    uint32_t keySpec;
  } cases[] = {
      {"445333", "Bit4id Universal Middleware Provider DS", "DS3", 2},
      {"445330", "Bit4id Universal Middleware Provider DS", "DS0", 2},
      {"445336", "Bit4id Universal Middleware Provider AUTH", "DS6", 1},
      {"4b0155", "Bit4id Universal Middleware Provider AUTH", "K%01U", 1},
      {"4453330a", "Bit4id Universal Middleware Provider AUTH", "DS3%0A", 1},
  };
  std::map<std::string, std::vector<uint8_t>> ders;
  for (const auto& c : cases) {
    CertSpec spec;
    spec.subject = {{"CN", "Holder " + c.id}};
    ders[c.id] = PutCertificate(c.id, spec);
  }
  Read();
  for (const auto& c : cases) {
    sink_->Clear();
    Register(c.id, kBit4Id);
    auto info = Stored(ders[c.id]);
    ASSERT_TRUE(info) << c.id;
    EXPECT_EQ(*info, (Platform::CertKeyProvInfo{kContainerPrefix + c.container, c.provider, 1, 0, c.keySpec}));
    EXPECT_EQ(Events(), std::vector<std::string>{"Certificate added to the store! ContainerName: " +
                                                 kContainerPrefix + c.container + ";ProvName: " + c.provider +
                                                 ";KeySpec: " + std::to_string(c.keySpec) + ";ProvType: 1"});
  }
  EXPECT_EQ(registered_, 5);
  auto stored = store_->FindByThumbprint(Platform::CertContext::Create(ders["445333"].data(), ders["445333"].size())->Thumbprint());
  EXPECT_EQ(stored->Properties().friendlyName, "Holder 445333");
  EXPECT_EQ(map_[kReader].size(), 5u);
}

TEST_F(RegistrationTest, GemaltoContainerFromItsDescriptor) {
  Start();
  const auto der = PutCertificate("a1b2", {});
  const auto withoutDescriptor = PutCertificate("c3d4", {});
  PutData("Default Key Container", "CSP", {0x01, 0x02, 0xa1, 0xb2, 0x02, 0x01, 0x01});
  PutData("Broken", "CSP", {0x01, 0x05, 0xa1, 0xb2});                     // shorter than it claims
  PutData("Other application", "XYZ", {0x01, 0x02, 0xa1, 0xb2, 0x02, 0x01, 0x01});
  PutData("other-key", "CSP", {0x01, 0x02, 0xc3, 0xd5, 0x02, 0x01, 0x01});  // another identifier
  PutData("cont-2", "CSP", {0x01, 0x02, 0xa1, 0xb2, 0x02, 0x02, 0x02, 0xff});
  Read();
  Register("a1b2", "Gemalto Classic Card CSP");
  Register("c3d4", "Gemalto Classic Card CSP");
  auto info = Stored(der);
  ASSERT_TRUE(info);
  EXPECT_EQ(*info, (Platform::CertKeyProvInfo{kContainerPrefix + "cont-2@GemP15-1", "Gemalto Classic Card CSP", 1, 0, 2}));
  EXPECT_FALSE(Stored(withoutDescriptor));
  EXPECT_EQ(registered_, 1);
}

TEST_F(RegistrationTest, ETokenAndSafeNetTakeTheMatchingPublicKey) {
  // An RSA key pair (it can encrypt) next to the rig's EC pair (sign only).
  Pkcs11Tool({"--keypairgen", "--key-type", "rsa:2048", "--id", "45435f", "--label", "RsaKey"});
  Start();
  const auto rsaDer = PutCertificate("45435f", {});
  Read();
  const CK_OBJECT_HANDLE ecCertificate = Certificate("01");
  ASSERT_TRUE(objects_->FindPublicKey(FindObjectHandleById(objects_->publicKeys, "01"))->signOnly);
  ASSERT_FALSE(objects_->FindPublicKey(FindObjectHandleById(objects_->publicKeys, "45435f"))->signOnly);
  const auto& ecDer = objects_->FindCertificate(ecCertificate)->value;

  // SoftHSM2 has no key-name attribute: the container is the reader's with an empty name.
  Register("01", "eToken Base Cryptographic Provider");
  EXPECT_EQ(*Stored(ecDer), (Platform::CertKeyProvInfo{kContainerPrefix, "eToken Base Cryptographic Provider", 1, 0, 2}));
  Register("45435f", "eToken Base Cryptographic Provider");
  EXPECT_EQ(Stored(rsaDer)->keySpec, 1u);

  Register("01", "SafeNet Smart Card Key Storage Provider", 0);
  Register("45435f", "SafeNet Smart Card Key Storage Provider", 0);
  EXPECT_EQ(*Stored(ecDer), (Platform::CertKeyProvInfo{kContainerPrefix, "SafeNet Smart Card Key Storage Provider", 0, 0, 0}));
  EXPECT_EQ(Stored(rsaDer)->keySpec, 0u);
  EXPECT_EQ(registered_, 4);

  // The eToken names its key containers in a vendor attribute of the key (0x80001301);
  // the name ends at its first zero byte.
  shim_->SetOption("key_name.01", "6b65792d6f6e6500ff41");  // "key-one", 0, junk
  Register("01", "eToken Base Cryptographic Provider");
  EXPECT_EQ(*Stored(ecDer), (Platform::CertKeyProvInfo{kContainerPrefix + "key-one",
                                                       "eToken Base Cryptographic Provider", 1, 0, 2}));
  shim_->SetOption("key_name.01", "6b65792d74776f");  // "key-two", no zero byte
  Register("01", "SafeNet Smart Card Key Storage Provider", 0);
  EXPECT_EQ(*Stored(ecDer), (Platform::CertKeyProvInfo{kContainerPrefix + "key-two",
                                                       "SafeNet Smart Card Key Storage Provider", 0, 0, 0}));
  EXPECT_EQ(registered_, 6);

  // Any other provider, or none, registers nothing.
  Register("01", "Some Other Provider");
  Register("01", "");
  EXPECT_EQ(registered_, 6);
  EXPECT_EQ(StoreSize(), 2u);
}

TEST_F(RegistrationTest, ExpiredAndExpiringCertificates) {
  Start();
  const long day = 86400;
  CertSpec in10, in20, expiredSigning, expiredEncryption;
  in10.notAfterSeconds = 10 * day;
  in20.notAfterSeconds = 20 * day;
  expiredSigning.notBeforeSeconds = expiredEncryption.notBeforeSeconds = -30 * day;
  expiredSigning.notAfterSeconds = expiredEncryption.notAfterSeconds = -day;
  expiredSigning.keyUsage = "digitalSignature";
  expiredEncryption.keyUsage = "keyEncipherment,dataEncipherment";
  const auto der10 = PutCertificate("0a", in10);
  const auto der20 = PutCertificate("0b", in20);
  const auto derSigning = PutCertificate("0c", expiredSigning);
  const auto derEncryption = PutCertificate("0d", expiredEncryption);
  Read();
  for (const char* id : {"0a", "0b", "0c", "0d"}) Register(id, kBit4Id);
  EXPECT_EQ(registered_, 3);
  EXPECT_EQ(expired_, 2);
  EXPECT_EQ(expiring_, 1);
  EXPECT_TRUE(Stored(der10));
  EXPECT_TRUE(Stored(der20));
  EXPECT_FALSE(Stored(derSigning));
  EXPECT_TRUE(Stored(derEncryption));
}

TEST_F(RegistrationTest, RegisteringTwiceKeepsOneStoreEntry) {
  Start();
  Read();
  Register("01", kBit4Id);
  Register("01", kBit4Id);
  EXPECT_EQ(registered_, 2);
  EXPECT_EQ(StoreSize(), 1u);
  ASSERT_EQ(map_[kReader].size(), 2u);
  for (const auto& context : map_[kReader]) EXPECT_TRUE(Platform::DeleteCertificateFromStore(context));
  EXPECT_EQ(StoreSize(), 0u);
}

TEST_F(RegistrationTest, MissingRecordsRegisterNothing) {
  Start();
  Read();
  sink_->Clear();
  RegisterPkcs11CardCertificates(token_.get(), objects_.get(), 0x7fffffff, store_.get(), kBit4Id, 1, kReader,
                                 map_, registered_, expired_, expiring_);
  RegisterPkcs11CardCertificates(token_.get(), nullptr, Certificate("01"), store_.get(), kBit4Id, 1, kReader,
                                 map_, registered_, expired_, expiring_);
  EXPECT_EQ(registered_, 0);
  EXPECT_TRUE(map_.empty());
  EXPECT_TRUE(Events().empty());
}

}  // namespace
