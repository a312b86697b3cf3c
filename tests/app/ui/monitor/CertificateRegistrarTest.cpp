// The registration's warnings about expired certificates and those expiring within two
// weeks, and its summary, for a Gemalto card's certificates of the test PKI.
#include "FakePcsc.h"
#include "MonitorFixture.h"

#include "X509Certificate.h"
#include "platform/FileHelpers.h"
#include "platform/Profile.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

// Every fsync of the process, by the path it flushed (linked with --wrap=fsync).
namespace {
std::mutex gFlushLock;
std::map<std::string, int> gFlushes;
}  // namespace

extern "C" int __real_fsync(int fd);
extern "C" int __wrap_fsync(int fd) {
  char path[PATH_MAX];
  const ssize_t length = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
  if (length > 0) {
    std::lock_guard<std::mutex> guard(gFlushLock);
    ++gFlushes[std::string(path, static_cast<size_t>(length))];
  }
  return __real_fsync(fd);
}

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

// A card's certificates and their properties are each written whole and flushed, and the
// personal store's folder is flushed once for all of them.
TEST_F(ExpiryWarningTest, RegistrationFlushesTheStoreFolderOnce) {
  registrar_ = std::make_unique<CertificateRegistrar>(host_, store_.get());
  TokenObjects objects;
  std::vector<PkiItem> items;
  for (int n = 1; n <= 4; ++n) {
    items.push_back(Make({365, true}, n));
    std::vector<unsigned char> der = items.back().Der();
    const std::string id = "0" + std::to_string(n);
    objects.AddCertificate(static_cast<CK_OBJECT_HANDLE>(n), id, "cert" + id,
                           std::vector<uint8_t>(der.begin(), der.end()));
    objects.AddDataObject(static_cast<CK_OBJECT_HANDLE>(100 + n), "container" + id, "CSP",
                          {0x01, 0x01, static_cast<uint8_t>(n), 0x02, 0x01, 0x02});
  }
  {
    std::lock_guard<std::mutex> guard(gFlushLock);
    gFlushes.clear();
  }
  registrar_->RegisterCertificates("Reader A", "Gemalto Classic Card CSP", "", nullptr, &objects);
  for (const PkiItem& item : items) EXPECT_TRUE(InStore(item));
  const std::string folder = Platform::CertStore::StoresDirectory() + "/MY";
  std::lock_guard<std::mutex> guard(gFlushLock);
  int files = 0;
  for (const auto& [path, count] : gFlushes)
    if (path.rfind(folder + "/", 0) == 0) files += count;
  EXPECT_EQ(gFlushes[folder], 1);
  EXPECT_EQ(files, 8);  // a .der and a .props each
}

INSTANTIATE_TEST_SUITE_P(Cases, ExpiryWarningTest, ::testing::ValuesIn(kWarningCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// "RevokedKeys" is written only when a registration adds to it (every write is a flush to
// disk): one that finds nothing revoked leaves no value absent and a value of another type
// as it was.
TEST_F(MonitorFixture, RegistrationThatFindsNothingRevokedLeavesRevokedKeysAlone) {
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
    EXPECT_EQ(registrar_->RegisteredFor("Reader A").size(), 1u) << wrongType;
    auto value = Platform::Profile().Read("", "RevokedKeys");
    EXPECT_EQ(value.has_value(), wrongType);
    if (value) {
      EXPECT_EQ(value->type, Platform::ValueType::String);
    }
    registrar_->UnregisterCertificates("Reader A");
  }
}

}  // namespace

namespace {

// A CA certificate whose first validity time is not a time ("YYMMDDHHMMSSZ" with letters).
std::vector<unsigned char> CaWithUnreadableTime() {
  TvrTest::CertSpec spec;
  spec.subject = "/CN=Unreadable Time CA";
  spec.ca = true;
  std::vector<unsigned char> der = TvrTest::CertBuilder::Issue(spec, nullptr).Der();
  for (size_t i = 0; i + 15 <= der.size(); ++i) {
    if (der[i] == V_ASN1_UTCTIME && der[i + 1] == 13) {
      der[i + 4] = 'M';
      der[i + 5] = 'M';
      return der;
    }
  }
  ADD_FAILURE() << "no UTCTime in the certificate";
  return der;
}

std::string Thumbprint(const PkiItem& item) {
  std::vector<unsigned char> der = item.Der();
  return TvrX509::X509Certificate(der.data(), static_cast<int>(der.size())).GetThumbprint();
}

// One "CA" certificate that cannot be read whole must not switch the revocation check off:
// it is left out (with a warning), the responder is still asked, and "RevokedKeys" still
// keeps its certificates out.
TEST_F(MonitorFixture, UnreadableStoreCertificateLeavesTheRevocationCheckInPlace) {
  std::vector<unsigned char> unreadable = CaWithUnreadableTime();
  auto ca = Platform::CertStore::OpenSystem("CA");
  auto context = Platform::CertContext::Create(unreadable.data(), unreadable.size());
  ASSERT_TRUE(ca && context && ca->Add(*context, Platform::CertAddDisposition::ReplaceExisting));

  TvrTest::HttpTestServer server;
  const std::string url = server.Base() + "/fwd/r";
  const PkiItem known = Leaf({url}, "Known revoked", "rsa");
  const PkiItem reported = Leaf({url}, "Reported revoked", "rsa");
  const PkiItem good = Leaf({url}, "Good", "rsa");
  auto responder = Responder({IndexLine(known), IndexLine(reported, "keyCompromise"), IndexLine(good)});
  server.Forward("r", responder->Port());
  ASSERT_TRUE(Platform::Profile().WriteMultiString("", "RevokedKeys", {Thumbprint(known)}));

  registrar_ = std::make_unique<CertificateRegistrar>(host_, store_.get());
  TokenObjects objects;
  int n = 0;
  for (const PkiItem* item : {&known, &reported, &good}) {
    ++n;
    std::vector<unsigned char> der = item->Der();
    const std::string id = "0" + std::to_string(n);
    objects.AddCertificate(static_cast<CK_OBJECT_HANDLE>(n), id, "cert" + id,
                           std::vector<uint8_t>(der.begin(), der.end()));
    objects.AddDataObject(static_cast<CK_OBJECT_HANDLE>(100 + n), "container" + id, "CSP",
                          {0x01, 0x01, static_cast<uint8_t>(n), 0x02, 0x01, 0x02});
  }
  registrar_->RegisterCertificates("Reader A", "Gemalto Classic Card CSP", "", nullptr, &objects);

  EXPECT_FALSE(InStore(known));
  EXPECT_FALSE(InStore(reported));
  EXPECT_TRUE(InStore(good));
  EXPECT_EQ(host_.Balloons(),
            std::vector<std::string>{"Regisztrálás... | 3 tanúsítványból 2 beregisztrálása sikertelen volt! | 3"});
  auto stored = Platform::Profile().Read("", "RevokedKeys");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->strings.size(), 2u);
  EXPECT_TRUE(HasEventStarting("A certificate of the \"CA\" store has validity dates that cannot be read"));
}

// Encryption-only certificates ask no responder, but "RevokedKeys" (either letter case)
// keeps them out like any other; a certificate without a responder address likewise.
TEST_F(MonitorFixture, RevokedKeysRefusesEveryKindOfCertificateAtInsertion) {
  TvrTest::CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=Signing without OCSP";
  spec.keyType = "rsa";
  spec.extensions = {{"keyUsage", "critical,digitalSignature"}};
  const PkiItem signing = TvrTest::CertBuilder::Issue(spec, &TestPki::Get().Intermediate());
  const PkiItem encryption = EncryptionLeaf("Revoked encryption");
  auto upper = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  };
  struct Case {
    const char* name;
    const PkiItem* certificate;
    bool upperCase;
  };
  const Case cases[] = {
      {"encryption-only", &encryption, false},
      {"encryption-only, upper case", &encryption, true},
      {"signing, upper case", &signing, true},
  };
  registrar_ = std::make_unique<CertificateRegistrar>(host_, store_.get());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string thumbprint = Thumbprint(*c.certificate);
    ASSERT_TRUE(Platform::Profile().WriteMultiString("", "RevokedKeys", {c.upperCase ? upper(thumbprint) : thumbprint}));
    TokenObjects objects;
    std::vector<unsigned char> der = c.certificate->Der();
    objects.AddCertificate(1, "01", "cert01", std::vector<uint8_t>(der.begin(), der.end()));
    objects.AddDataObject(2, "container01", "CSP", {0x01, 0x01, 0x01, 0x02, 0x01, 0x02});
    host_.Clear();
    registrar_->RegisterCertificates("Reader A", "Gemalto Classic Card CSP", "", nullptr, &objects);
    EXPECT_FALSE(InStore(*c.certificate));
    EXPECT_EQ(host_.Balloons(),
              std::vector<std::string>{"Regisztrálás... | 1 tanúsítványból 1 beregisztrálása sikertelen volt! | 3"});
    registrar_->UnregisterCertificates("Reader A");
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The record names what is registered while it is; a registrar of the next run takes out
// of the store what the record lists, and only that. The program's record lies in the
// personal store's folder (to reach the disk with its flush), where the store never takes it
// for a certificate.
TEST_F(MonitorFixture, RecordOfARunThatDidNotEndCleanlyIsCleanedAtTheNextStart) {
  PkiItem mine = EncryptionLeaf("Recorded");
  PkiItem foreign = EncryptionLeaf("Not recorded");
  std::vector<unsigned char> der = mine.Der();
  const std::string thumbprint = Platform::CertContext::Create(der.data(), der.size())->Thumbprint();
  TokenObjects objects;
  objects.AddCertificate(1, "01", "cert01", std::vector<uint8_t>(der.begin(), der.end()));
  objects.AddDataObject(2, "container01", "CSP", {0x01, 0x01, 0x01, 0x02, 0x01, 0x02});

  for (const std::string& record :
       {dir_->Path() + "/data/Tavrenic/test.registered", CertificateRegistrar::RecordPath()}) {
    SCOPED_TRACE(record);
    registrar_ = std::make_unique<CertificateRegistrar>(host_, store_.get());
    registrar_->KeepRecord(record);
    registrar_->RegisterCertificates("Reader A", "Gemalto Classic Card CSP", "", nullptr, &objects);
    ASSERT_TRUE(InStore(mine));
    EXPECT_EQ(ReadFile(record), thumbprint + "\n");
    std::vector<Platform::CertContextPtr> listed;
    ASSERT_TRUE(store_->Enumerate(listed));
    EXPECT_EQ(listed.size(), 1u);
    EXPECT_FALSE(HasEventStarting("Foreign file in the certificate store"));
    registrar_->UnregisterCertificates("Reader A");
    EXPECT_EQ(ReadFile(record), "");

    // The run ends without its clean-up; a certificate it did not register is in the store
    // too, and the record has a line that is no thumbprint.
    registrar_->RegisterCertificates("Reader A", "Gemalto Classic Card CSP", "", nullptr, &objects);
    std::vector<unsigned char> foreignDer = foreign.Der();
    ASSERT_TRUE(store_->Add(*Platform::CertContext::Create(foreignDer.data(), foreignDer.size()),
                            Platform::CertAddDisposition::ReplaceExisting));
    std::ofstream(record, std::ios::app) << "not a thumbprint\n";
    registrar_.reset();
    ASSERT_TRUE(InStore(mine));

    registrar_ = std::make_unique<CertificateRegistrar>(host_, store_.get());
    registrar_->KeepRecord(record);
    EXPECT_FALSE(InStore(mine));
    EXPECT_TRUE(InStore(foreign));
    EXPECT_EQ(ReadFile(record), "");
    EXPECT_TRUE(HasEvent("Certificate left registered by an earlier run removed: " + thumbprint));
    ASSERT_TRUE(store_->Delete(*Platform::CertContext::Create(foreignDer.data(), foreignDer.size())));
  }
}

// A record an older version kept in the data folder is honoured once, then goes: what it
// lists leaves the store, and what cannot leave lives on in the new record.
TEST_F(MonitorFixture, RecordAtTheEarlierPlaceIsCleanedAndRemoved) {
  PkiItem mine = EncryptionLeaf("Recorded earlier");
  std::vector<unsigned char> der = mine.Der();
  const std::string thumbprint = Platform::CertContext::Create(der.data(), der.size())->Thumbprint();
  ASSERT_TRUE(store_->Add(*Platform::CertContext::Create(der.data(), der.size()),
                          Platform::CertAddDisposition::ReplaceExisting));
  const std::string earlier = CertificateRegistrar::EarlierRecordPath();
  ASSERT_TRUE(Platform::MakeDirectories(earlier.substr(0, earlier.rfind('/')), 0700));
  std::ofstream(earlier) << thumbprint << "\n";

  registrar_ = std::make_unique<CertificateRegistrar>(host_, store_.get());
  registrar_->KeepRecord(CertificateRegistrar::RecordPath(), earlier);
  EXPECT_FALSE(InStore(mine));
  EXPECT_NE(access(earlier.c_str(), F_OK), 0);
  EXPECT_EQ(ReadFile(CertificateRegistrar::RecordPath()), "");
  EXPECT_TRUE(HasEvent("Certificate left registered by an earlier run removed: " + thumbprint));
}

// The program's end takes the certificates out at once while a registration step is
// inside a slow card call with the store lock held, and that step adds nothing after it
// (the faults: the end waited for the card, or a step added a certificate after the end).
TEST_F(MonitorFixture, EndUnregistersWhileARegistrationIsInsideTheCard) {
  const PkiItem first = EncryptionLeaf("First"), second = EncryptionLeaf("Second");
  MakeToken("Card0", {&first, &second});
  FakePcsc pcsc;
  MakeMonitor({{"Card0", "Reader A"}}, pcsc);
  const std::vector<CK_SLOT_ID> slots = tokenObject_->GetSlotList(true);
  ASSERT_EQ(slots.size(), 1u);
  tokenObject_->SetSlot(slots[0]);
  ASSERT_TRUE(tokenObject_->OpenSession(false));
  const std::unique_ptr<TokenObjects> objects = tokenObject_->ReadObjects();
  ASSERT_EQ(objects->certificates.size(), 2u);
  const std::string record = dir_->Path() + "/data/Tavrenic/test.registered";
  registrar_->KeepRecord(record);
  // Each step of this provider asks the card for its key's name: slowly.
  const char* provider = "eToken Base Cryptographic Provider";
  shim_->SetOption("delay_us.C_GetAttributeValue", "1500000");
  std::thread registering(
      [&] { registrar_->RegisterCertificates("Reader A", provider, "", tokenObject_.get(), objects.get()); });
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (StoreSize() == 0 && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(StoreSize(), 1u);  // the first is in, the second step is inside the card
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  const auto start = std::chrono::steady_clock::now();
  registrar_->EndAll();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(StoreSize(), 0u);
  EXPECT_EQ(ReadFile(record), "");
  registering.join();
  EXPECT_LT(took, std::chrono::seconds(1));
  EXPECT_EQ(StoreSize(), 0u);
  EXPECT_EQ(ReadFile(record), "");
  shim_->ClearOption("delay_us.C_GetAttributeValue");
  registrar_->RegisterCertificates("Reader A", provider, "", tokenObject_.get(), objects.get());
  EXPECT_EQ(StoreSize(), 0u);
}

}  // namespace
