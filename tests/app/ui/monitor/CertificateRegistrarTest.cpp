// The registration's warnings about expired certificates and those expiring within two
// weeks, and its summary, for a Gemalto card's certificates of the test PKI.
#include "MonitorFixture.h"

#include "platform/Profile.h"

#include <openssl/evp.h>

#include <ctime>
#include <fstream>
#include <iterator>

using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

constexpr std::time_t kDay = 24 * 3600;

struct Shape {
  long daysLeft;  // negative: expired that many days ago
  bool encryptionOnly;
};

struct WarningCase {
  const char* name;
  std::vector<Shape> certificates;
  std::vector<std::string> balloons;
};

const WarningCase kWarningCases[] = {
    // Expired signing certificates stay out; the boundary is 14 days.
    {"OneOfEach", {{365, false}, {-1, false}, {13, false}, {15, false}},
     {"Regisztrálás... | 4 tanúsítványból 1 beregisztrálása sikertelen volt! | 3",
      "Értesítés | Egy tanúsítvány lejárt. | 3", "Értesítés | Egy tanúsítvány le fog járni. | 2"}},
    // An expired encryption certificate is still registered (old mail stays readable).
    {"SeveralOfEach", {{-30, false}, {-2, true}, {1, false}, {13, true}},
     {"Regisztrálás... | 4 tanúsítványból 1 beregisztrálása sikertelen volt! | 3",
      "Értesítés | 2 db tanúsítvány lejárt. | 3", "Értesítés | 2 db tanúsítvány le fog járni. | 2"}},
    {"NothingDue", {{15, false}, {365, true}},
     {"Regisztrálás... | Minden (2 db) tanúsítvány sikeresen beregisztrálva! | 1"}},
};

void PrintTo(const WarningCase& c, std::ostream* os) { *os << c.name; }

class ExpiryWarningTest : public MonitorFixture, public ::testing::WithParamInterface<WarningCase> {
 protected:
  // One RSA key for every certificate: the Gemalto provider takes no EC keys here.
  static EVP_PKEY* Key() {
    static EVP_PKEY* key = TvrTest::CertBuilder::NewKey("rsa");
    return key;
  }

  static PkiItem Make(const Shape& shape, int n) {
    const std::time_t now = std::time(nullptr);
    TvrTest::CertSpec spec;
    spec.subject = "/C=HU/O=Tavrenic/CN=Expiry " + std::to_string(n);
    spec.keyType = "rsa";
    spec.notBefore = now - 60 * kDay;
    spec.notAfter = now + shape.daysLeft * kDay;
    spec.extensions = {{"keyUsage", shape.encryptionOnly ? "critical,keyEncipherment" : "critical,digitalSignature"}};
    return TvrTest::CertBuilder::Issue(spec, &TestPki::Get().Intermediate(), Key());
  }
};

TEST_P(ExpiryWarningTest, WarnsAboutExpiredAndExpiringCertificates) {
  registrar_ = std::make_unique<CertificateRegistrar>(host_, store_.get());
  TokenObjects objects;
  std::vector<PkiItem> items;
  int n = 0;
  for (const Shape& shape : GetParam().certificates) {
    ++n;
    items.push_back(Make(shape, n));
    std::vector<unsigned char> der = items.back().Der();
    const std::string id = "0" + std::to_string(n);
    objects.AddCertificate(static_cast<CK_OBJECT_HANDLE>(n), id, "cert" + id,
                           std::vector<uint8_t>(der.begin(), der.end()));
    objects.AddDataObject(static_cast<CK_OBJECT_HANDLE>(100 + n), "container" + id, "CSP",
                          {0x01, 0x01, static_cast<uint8_t>(n), 0x02, 0x01, 0x02});
  }
  registrar_->RegisterCertificates("Reader A", "Gemalto Classic Card CSP", "", nullptr, &objects);
  EXPECT_EQ(host_.Balloons(), GetParam().balloons);

  size_t expectedInStore = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const Shape& shape = GetParam().certificates[i];
    const bool registered = shape.daysLeft > 0 || shape.encryptionOnly;
    expectedInStore += registered;
    EXPECT_EQ(InStore(items[i]), registered) << i;
  }
  EXPECT_EQ(registrar_->RegisteredFor("Reader A").size(), expectedInStore);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExpiryWarningTest, ::testing::ValuesIn(kWarningCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// The first registration leaves "RevokedKeys" as an empty multi-string; a value of another
// type is replaced.
TEST_F(MonitorFixture, RegistrationWritesRevokedKeysAsAMultiString) {
  registrar_ = std::make_unique<CertificateRegistrar>(host_, store_.get());
  TokenObjects objects;
  PkiItem leaf = EncryptionLeaf("Revoked keys");
  std::vector<unsigned char> der = leaf.Der();
  objects.AddCertificate(1, "01", "cert01", std::vector<uint8_t>(der.begin(), der.end()));
  objects.AddDataObject(2, "container01", "CSP", {0x01, 0x01, 0x01, 0x02, 0x01, 0x02});
  for (bool wrongType : {false, true}) {
    if (wrongType) {
      ASSERT_TRUE(Platform::Profile().WriteString("", "RevokedKeys", "0123"));
    }
    registrar_->RegisterCertificates("Reader A", "Gemalto Classic Card CSP", "", nullptr, &objects);
    auto value = Platform::Profile().Read("", "RevokedKeys");
    ASSERT_TRUE(value) << wrongType;
    EXPECT_EQ(value->type, Platform::ValueType::MultiString) << wrongType;
    EXPECT_TRUE(value->strings.empty()) << wrongType;
    registrar_->UnregisterCertificates("Reader A");
  }
}

}  // namespace

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The record names what is registered while it is; a registrar of the next run takes out
// of the store what the record lists, and only that.
TEST_F(MonitorFixture, RecordOfARunThatDidNotEndCleanlyIsCleanedAtTheNextStart) {
  const std::string record = dir_->Path() + "/data/Tavrenic/test.registered";
  PkiItem mine = EncryptionLeaf("Recorded");
  PkiItem foreign = EncryptionLeaf("Not recorded");
  std::vector<unsigned char> der = mine.Der();
  const std::string thumbprint = Platform::CertContext::Create(der.data(), der.size())->Thumbprint();
  TokenObjects objects;
  objects.AddCertificate(1, "01", "cert01", std::vector<uint8_t>(der.begin(), der.end()));
  objects.AddDataObject(2, "container01", "CSP", {0x01, 0x01, 0x01, 0x02, 0x01, 0x02});

  registrar_ = std::make_unique<CertificateRegistrar>(host_, store_.get());
  registrar_->KeepRecord(record);
  registrar_->RegisterCertificates("Reader A", "Gemalto Classic Card CSP", "", nullptr, &objects);
  ASSERT_TRUE(InStore(mine));
  EXPECT_EQ(ReadFile(record), thumbprint + "\n");
  registrar_->UnregisterCertificates("Reader A");
  EXPECT_EQ(ReadFile(record), "");

  // The run ends without its clean-up; a certificate it did not register is in the store
  // too, and the record has a line that is no thumbprint.
  registrar_->RegisterCertificates("Reader A", "Gemalto Classic Card CSP", "", nullptr, &objects);
  std::vector<unsigned char> foreignDer = foreign.Der();
  ASSERT_TRUE(store_->Add(*Platform::CertContext::Create(foreignDer.data(), foreignDer.size()),
                          Platform::CertAddDisposition::New));
  std::ofstream(record, std::ios::app) << "not a thumbprint\n";
  registrar_.reset();
  ASSERT_TRUE(InStore(mine));

  registrar_ = std::make_unique<CertificateRegistrar>(host_, store_.get());
  registrar_->KeepRecord(record);
  EXPECT_FALSE(InStore(mine));
  EXPECT_TRUE(InStore(foreign));
  EXPECT_EQ(ReadFile(record), "");
  EXPECT_TRUE(HasEvent("Certificate left registered by an earlier run removed: " + thumbprint));
}

}  // namespace
