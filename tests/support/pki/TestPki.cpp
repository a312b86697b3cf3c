#include "TestPki.h"

#include <openssl/bio.h>
#include <openssl/conf.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace TvrTest {

namespace {

constexpr std::time_t kDay = 24 * 3600;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error("test PKI: " + what);
}

template <typename T, void (*FreeFn)(T*)>
struct Deleter {
  void operator()(T* p) const { FreeFn(p); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;
using CrlPtr = std::unique_ptr<X509_CRL, Deleter<X509_CRL, X509_CRL_free>>;
using P12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12, PKCS12_free>>;

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(length));
}

void WriteFile(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) Fail("cannot write " + path);
}

void WriteFile(const std::string& path, const std::string& text) {
  WriteFile(path, text.data(), text.size());
}

// Slash text: "/type=value" elements, '+' joining an element to the RDN before it.
X509_NAME* ParseSubject(const std::string& text) {
  X509_NAME* name = X509_NAME_new();
  size_t pos = 1;
  bool joined = false;
  while (pos < text.size()) {
    size_t end = text.find_first_of("/+", pos);
    if (end == std::string::npos) end = text.size();
    std::string element = text.substr(pos, end - pos);
    size_t eq = element.find('=');
    if (eq == std::string::npos) Fail("bad subject " + text);
    if (!X509_NAME_add_entry_by_txt(name, element.substr(0, eq).c_str(), MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(element.c_str() + eq + 1),
                                    -1, -1, joined ? -1 : 0))
      Fail("bad subject element " + element);
    joined = end < text.size() && text[end] == '+';
    pos = end + 1;
  }
  return name;
}

std::vector<unsigned char> FromHex(const std::string& hex) {
  std::vector<unsigned char> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string UtcText(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof(text), "%y%m%d%H%M%SZ", &tm);
  return text;
}

std::time_t AsTime(const ASN1_TIME* time) {
  std::tm tm{};
  if (!ASN1_TIME_to_tm(time, &tm)) Fail("unreadable time");
  return timegm(&tm);
}

long NextSerial() {
  static std::atomic<long> serial{0x1000};
  return ++serial;
}

std::vector<unsigned char> Concat(std::initializer_list<std::vector<unsigned char>> parts) {
  std::vector<unsigned char> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<unsigned char> Text(unsigned char tag, const std::string& text) {
  return DerTlv(tag, std::vector<unsigned char>(text.begin(), text.end()));
}

std::vector<unsigned char> Integer(unsigned char value) { return DerTlv(0x02, {value}); }

// QcCompliance, QcSSCD, QcType esign, QcPDS (en), QcRetentionPeriod 10, QcLimitValue 5000 EUR.
std::vector<unsigned char> QualifiedStatements() {
  auto statement = [](const std::string& oid, std::vector<unsigned char> info = {}) {
    return DerTlv(0x30, Concat({DerOid(oid), info}));
  };
  return DerTlv(
      0x30,
      Concat({statement("0.4.0.1862.1.1"), statement("0.4.0.1862.1.4"),
              statement("0.4.0.1862.1.6", DerTlv(0x30, DerOid("0.4.0.1862.1.6.1"))),
              statement("0.4.0.1862.1.5",
                        DerTlv(0x30, DerTlv(0x30, Concat({Text(0x16, "https://pds.tavrenic.test/en"),
                                                          Text(0x13, "en")})))),
              statement("0.4.0.1862.1.3", Integer(10)),
              statement("0.4.0.1862.1.2",
                        DerTlv(0x30, Concat({Text(0x13, "EUR"), Integer(5), Integer(3)})))}));
}

}  // namespace

// ---- DER helpers ----

std::vector<unsigned char> DerTlv(unsigned char tag, const std::vector<unsigned char>& content) {
  std::vector<unsigned char> out{tag};
  size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else {
    std::vector<unsigned char> len;
    for (; n; n >>= 8) len.insert(len.begin(), static_cast<unsigned char>(n & 0xff));
    out.push_back(static_cast<unsigned char>(0x80 | len.size()));
    out.insert(out.end(), len.begin(), len.end());
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

std::vector<unsigned char> DerOid(const std::string& dotted) {
  ASN1_OBJECT* object = OBJ_txt2obj(dotted.c_str(), 1);
  if (!object) Fail("bad OID " + dotted);
  unsigned char* der = nullptr;
  int length = i2d_ASN1_OBJECT(object, &der);
  ASN1_OBJECT_free(object);
  std::vector<unsigned char> bytes(der, der + length);
  OPENSSL_free(der);
  return bytes;
}

std::string Hex(const std::vector<unsigned char>& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string text;
  for (unsigned char b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

// ---- PkiItem ----

PkiItem::PkiItem(X509* certificate, EVP_PKEY* key) : cert_(certificate), key_(key) {}

PkiItem::PkiItem(const PkiItem& other)
    : name(other.name), pemPath(other.pemPath), derPath(other.derPath), keyPath(other.keyPath) {
  if (other.cert_) cert_ = X509_dup(other.cert_);
  if (other.key_ && EVP_PKEY_up_ref(other.key_)) key_ = other.key_;
}

PkiItem& PkiItem::operator=(const PkiItem& other) {
  if (this != &other) {
    PkiItem copy(other);
    std::swap(cert_, copy.cert_);
    std::swap(key_, copy.key_);
    name = other.name;
    pemPath = other.pemPath;
    derPath = other.derPath;
    keyPath = other.keyPath;
  }
  return *this;
}

PkiItem::~PkiItem() {
  X509_free(cert_);
  EVP_PKEY_free(key_);
}

std::vector<unsigned char> PkiItem::Der() const {
  unsigned char* der = nullptr;
  int length = i2d_X509(cert_, &der);
  if (length <= 0) Fail("cannot encode " + name);
  std::vector<unsigned char> bytes(der, der + length);
  OPENSSL_free(der);
  return bytes;
}

std::string PkiItem::Pem() const {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert_);
  return BioText(bio.get());
}

std::string PkiItem::KeyPem() const {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(bio.get(), key_, nullptr, nullptr, 0, nullptr, nullptr);
  return BioText(bio.get());
}

std::string PkiItem::SerialHex() const {
  BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert_), nullptr);
  char* hex = BN_bn2hex(bn);
  std::string text(hex);
  OPENSSL_free(hex);
  BN_free(bn);
  return text;
}

std::time_t PkiItem::NotBefore() const { return AsTime(X509_get0_notBefore(cert_)); }
std::time_t PkiItem::NotAfter() const { return AsTime(X509_get0_notAfter(cert_)); }

// ---- CertBuilder ----

EVP_PKEY* CertBuilder::NewKey(const std::string& keyType) {
  EVP_PKEY* key = keyType == "rsa" ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256");
  if (!key) Fail("key generation failed");
  return key;
}

PkiItem CertBuilder::Issue(const CertSpec& spec, const PkiItem* issuer, EVP_PKEY* key) {
  KeyPtr ownKey(key ? (EVP_PKEY_up_ref(key), key) : NewKey(spec.keyType));
  X509Ptr cert(X509_new());
  X509* x = cert.get();
  std::time_t now = std::time(nullptr);
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), spec.serial ? spec.serial : NextSerial());
  X509_NAME* subject = ParseSubject(spec.subject);
  X509_set_subject_name(x, subject);
  X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer->Cert()) : subject);
  X509_NAME_free(subject);
  ASN1_TIME_set(X509_getm_notBefore(x), spec.notBefore ? spec.notBefore : now - kDay);
  ASN1_TIME_set(X509_getm_notAfter(x), spec.notAfter ? spec.notAfter : now + 365 * kDay);
  X509_set_pubkey(x, ownKey.get());

  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer ? issuer->Cert() : x, x, nullptr, nullptr, 0);
  // Some extensions (certificatePolicies) insist on a configuration database; an empty
  // one does.
  std::unique_ptr<CONF, Deleter<CONF, NCONF_free>> conf(NCONF_new(nullptr));
  X509V3_set_nconf(&ctx, conf.get());
  auto add = [&](const std::string& name, const std::string& value) {
    ExtPtr ext(X509V3_EXT_nconf(conf.get(), &ctx, name.c_str(), value.c_str()));
    if (!ext || !X509_add_ext(x, ext.get(), -1)) Fail("extension " + name + "=" + value);
  };
  bool hasKeyUsage = false;
  for (const auto& [name, value] : spec.extensions) hasKeyUsage |= name == "keyUsage";
  if (spec.ca) {
    add("basicConstraints", "critical,CA:TRUE");
    if (!hasKeyUsage) add("keyUsage", "critical,keyCertSign,cRLSign");
  }
  if (spec.subjectKeyId) add("subjectKeyIdentifier", "hash");
  if (!spec.overrideAuthorityKeyIdHex.empty()) {
    AUTHORITY_KEYID* akid = AUTHORITY_KEYID_new();
    akid->keyid = ASN1_OCTET_STRING_new();
    std::vector<unsigned char> id = FromHex(spec.overrideAuthorityKeyIdHex);
    ASN1_OCTET_STRING_set(akid->keyid, id.data(), static_cast<int>(id.size()));
    X509_add1_ext_i2d(x, NID_authority_key_identifier, akid, 0, X509V3_ADD_DEFAULT);
    AUTHORITY_KEYID_free(akid);
  } else if (spec.authorityKeyId && issuer) {
    add("authorityKeyIdentifier", "keyid:always");
  }
  for (const auto& [name, value] : spec.extensions) add(name, value);

  EVP_PKEY* signer = issuer ? issuer->Key() : ownKey.get();
  if (X509_sign(x, signer, EVP_sha256()) <= 0) Fail("signing " + spec.subject);

  // Re-read from DER so that no cached state of the signing survives.
  unsigned char* der = nullptr;
  int length = i2d_X509(x, &der);
  if (spec.breakSignature) der[length - 1] ^= 0x01;
  const unsigned char* p = der;
  X509* fresh = d2i_X509(nullptr, &p, length);
  OPENSSL_free(der);
  if (!fresh) Fail("re-reading " + spec.subject);
  return PkiItem(fresh, ownKey.release());
}

// ---- TestPki ----

const TestPki& TestPki::Get() {
  static TestPki pki;
  return pki;
}

TestPki::TestPki() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tvr-pki-XXXXXX";
  if (!mkdtemp(pattern.data())) Fail("mkdtemp failed");
  dir_ = pattern;
  try {
    Generate();
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    throw;
  }
}

TestPki::~TestPki() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void TestPki::Save(PkiItem& item, const std::string& name) {
  item.name = name;
  item.pemPath = dir_ + "/" + name + ".pem";
  item.derPath = dir_ + "/" + name + ".der";
  item.keyPath = dir_ + "/" + name + ".key.pem";
  WriteFile(item.pemPath, item.Pem());
  std::vector<unsigned char> der = item.Der();
  WriteFile(item.derPath, der.data(), der.size());
  WriteFile(item.keyPath, item.KeyPem());
}

void TestPki::Generate() {
  const std::time_t now = std::time(nullptr);
  const std::string aia = std::string("OCSP;URI:") + kOcspUrl + ",caIssuers;URI:" + kIntermediateUrl;
  const std::string base = "/C=HU/O=Tavrenic Test";

  CertSpec spec;
  spec.subject = base + "/CN=Tavrenic Test Root CA";
  spec.ca = true;
  spec.notBefore = now - 2 * kDay;
  spec.notAfter = now + 3650 * kDay;
  root_ = CertBuilder::Issue(spec, nullptr);
  Save(root_, "root");

  spec = CertSpec{};
  spec.subject = base + "/OU=Issuing/CN=Tavrenic Test Intermediate CA";
  spec.ca = true;
  spec.notBefore = now - 2 * kDay;
  spec.notAfter = now + 1825 * kDay;
  spec.extensions = {{"authorityInfoAccess", std::string("caIssuers;URI:") + kRootUrl}};
  intermediate_ = CertBuilder::Issue(spec, &root_);
  Save(intermediate_, "intermediate");

  auto leaf = [&](const std::string& cn, std::vector<std::pair<std::string, std::string>> extensions) {
    CertSpec s;
    s.subject = base + "/CN=" + cn;
    s.extensions = std::move(extensions);
    return s;
  };

  ocspSigner_ = CertBuilder::Issue(
      leaf("Tavrenic Test OCSP Signer", {{"keyUsage", "critical,digitalSignature"},
                                         {"extendedKeyUsage", "OCSPSigning"}}),
      &intermediate_);
  Save(ocspSigner_, "ocsp-signer");

  tlsServer_ = CertBuilder::Issue(
      leaf("localhost", {{"keyUsage", "critical,digitalSignature"},
                         {"extendedKeyUsage", "serverAuth"},
                         {"subjectAltName", "DNS:localhost,IP:127.0.0.1"}}),
      &intermediate_);
  Save(tlsServer_, "tls-server");

  spec = CertSpec{};
  spec.subject =
      "/C=HU/O=Tavrenic Teszt Kft./OU=Aláírás/CN=Árvíztűrő Tükörfúrógép"
      "/emailAddress=arvizturo@tavrenic.test";
  spec.extensions = {
      {"keyUsage", "critical,digitalSignature,nonRepudiation"},
      {"extendedKeyUsage", "emailProtection,clientAuth"},
      // The second OCSP address sorts before the first.
      {"authorityInfoAccess", std::string("OCSP;URI:") + kOcspUrl2 + ",OCSP;URI:" + kOcspUrl +
                                  ",caIssuers;URI:" + kIntermediateUrl},
      // One distribution point whose fullName holds both addresses.
      {"crlDistributionPoints",
       "DER:" + Hex(DerTlv(0x30, DerTlv(0x30, DerTlv(0xA0, DerTlv(0xA0, Concat({Text(0x86, kCrlUrl),
                                                                               Text(0x86, kCrlUrl2)}))))))},
      {"certificatePolicies", std::string(kPolicyOid) + "," + kPolicyOid2},
      {"subjectAltName", "email:arvizturo@tavrenic.test,DNS:signer.tavrenic.test"}};
  signing_ = CertBuilder::Issue(spec, &intermediate_);
  Save(signing_, "signing");

  encryption_ = CertBuilder::Issue(
      leaf("Tavrenic Encryption", {{"keyUsage", "critical,keyEncipherment,dataEncipherment"},
                                   {"extendedKeyUsage", "emailProtection"},
                                   {"authorityInfoAccess", aia},
                                   {"crlDistributionPoints", std::string("URI:") + kCrlUrl}}),
      &intermediate_);
  Save(encryption_, "encryption");

  noKeyUsage_ = CertBuilder::Issue(
      leaf("Tavrenic No Key Usage", {{"subjectAltName", "email:nokeyusage@tavrenic.test"},
                                     {"authorityInfoAccess", aia}}),
      &intermediate_);
  Save(noKeyUsage_, "no-key-usage");

  spec = leaf("Tavrenic Qualified", {{"keyUsage", "critical,nonRepudiation"},
                                      {"certificatePolicies", "0.4.0.194112.1.2"},
                                      {"authorityInfoAccess", aia},
                                      {"1.3.6.1.5.5.7.1.3", "DER:" + Hex(QualifiedStatements())}});
  spec.subject += "/serialNumber=PNOHU-12345678";
  qualified_ = CertBuilder::Issue(spec, &intermediate_);
  Save(qualified_, "qualified");

  revoked_ = CertBuilder::Issue(
      leaf("Tavrenic Revoked", {{"keyUsage", "critical,digitalSignature"}, {"authorityInfoAccess", aia}}),
      &intermediate_);
  Save(revoked_, "revoked");

  onHold_ = CertBuilder::Issue(
      leaf("Tavrenic On Hold", {{"keyUsage", "critical,digitalSignature"}, {"authorityInfoAccess", aia}}),
      &intermediate_);
  Save(onHold_, "on-hold");

  spec = leaf("Tavrenic Expired", {{"keyUsage", "critical,digitalSignature"}, {"authorityInfoAccess", aia}});
  spec.notBefore = now - 400 * kDay;
  spec.notAfter = now - 30 * kDay;
  expired_ = CertBuilder::Issue(spec, &intermediate_);
  Save(expired_, "expired");

  revocationTime_ = now - 3600;
  caBundlePath_ = dir_ + "/ca-bundle.pem";
  WriteFile(caBundlePath_, root_.Pem() + intermediate_.Pem());
  WriteIndex();
  WriteCrl();
  WritePfxFiles();
}

void TestPki::WriteIndex() const {
  std::string index;
  auto oneLine = [](const PkiItem& item) {
    char* text = X509_NAME_oneline(X509_get_subject_name(item.Cert()), nullptr, 0);
    std::string line(text);
    OPENSSL_free(text);
    return line;
  };
  for (const PkiItem* item : {&ocspSigner_, &tlsServer_, &signing_, &encryption_, &noKeyUsage_,
                              &qualified_, &revoked_, &onHold_, &expired_}) {
    std::string revocation;
    if (item == &revoked_) revocation = UtcText(revocationTime_) + ",keyCompromise";
    if (item == &onHold_) revocation = UtcText(revocationTime_) + ",certificateHold,holdInstructionReject";
    index += std::string(revocation.empty() ? "V" : "R") + "\t" + UtcText(item->NotAfter()) + "\t" +
             revocation + "\t" + item->SerialHex() + "\tunknown\t" + oneLine(*item) + "\n";
  }
  const_cast<TestPki*>(this)->indexPath_ = dir_ + "/index.txt";
  WriteFile(indexPath_, index);
  WriteFile(dir_ + "/index.txt.attr", "unique_subject = no\n");
}

void TestPki::WriteCrl() {
  CrlPtr crl(X509_CRL_new());
  X509_CRL_set_version(crl.get(), 1);
  X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(intermediate_.Cert()));
  std::time_t now = std::time(nullptr);
  ASN1_TIME* t = ASN1_TIME_set(nullptr, now - 3600);
  X509_CRL_set1_lastUpdate(crl.get(), t);
  ASN1_TIME_set(t, now + 7 * kDay);
  X509_CRL_set1_nextUpdate(crl.get(), t);
  ASN1_TIME_set(t, revocationTime_);
  for (auto [item, reason] : {std::pair{&revoked_, 1}, std::pair{&onHold_, 6}}) {
    X509_REVOKED* entry = X509_REVOKED_new();
    X509_REVOKED_set_serialNumber(entry, X509_get_serialNumber(item->Cert()));
    X509_REVOKED_set_revocationDate(entry, t);
    ASN1_ENUMERATED* code = ASN1_ENUMERATED_new();
    ASN1_ENUMERATED_set(code, reason);
    X509_REVOKED_add1_ext_i2d(entry, NID_crl_reason, code, 0, 0);
    ASN1_ENUMERATED_free(code);
    X509_CRL_add0_revoked(crl.get(), entry);
  }
  ASN1_TIME_free(t);
  ASN1_INTEGER* number = ASN1_INTEGER_new();
  ASN1_INTEGER_set(number, 1);
  X509_CRL_add1_ext_i2d(crl.get(), NID_crl_number, number, 0, 0);
  ASN1_INTEGER_free(number);
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, intermediate_.Cert(), nullptr, nullptr, crl.get(), 0);
  ExtPtr akid(X509V3_EXT_nconf(nullptr, &ctx, "authorityKeyIdentifier", "keyid:always"));
  if (!akid) Fail("CRL authorityKeyIdentifier");
  X509_CRL_add_ext(crl.get(), akid.get(), -1);
  X509_CRL_sort(crl.get());
  if (X509_CRL_sign(crl.get(), intermediate_.Key(), EVP_sha256()) <= 0) Fail("signing the CRL");

  crlPemPath_ = dir_ + "/intermediate.crl.pem";
  crlDerPath_ = dir_ + "/intermediate.crl";
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509_CRL(bio.get(), crl.get());
  WriteFile(crlPemPath_, BioText(bio.get()));
  unsigned char* der = nullptr;
  int length = i2d_X509_CRL(crl.get(), &der);
  WriteFile(crlDerPath_, der, static_cast<size_t>(length));
  OPENSSL_free(der);
}

std::vector<unsigned char> TestPki::CrlDer() const {
  std::ifstream in(crlDerPath_, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void TestPki::WritePfxFiles() {
  // Legacy PFX ciphers (RC2) live in the legacy provider; once one provider is loaded
  // explicitly the default one must be loaded too.
  static OSSL_PROVIDER* defaultProvider = OSSL_PROVIDER_load(nullptr, "default");
  static OSSL_PROVIDER* legacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
  if (!defaultProvider || !legacyProvider) Fail("loading the OpenSSL providers");

  STACK_OF(X509)* cas = sk_X509_new_null();
  sk_X509_push(cas, intermediate_.Cert());
  sk_X509_push(cas, root_.Cert());
  auto write = [&](const std::string& path, P12Ptr p12) {
    if (!p12) Fail("PKCS12_create for " + path);
    unsigned char* der = nullptr;
    int length = i2d_PKCS12(p12.get(), &der);
    WriteFile(path, der, static_cast<size_t>(length));
    OPENSSL_free(der);
  };
  char name[] = "Tavrenic Signing";
  pfxModern_ = dir_ + "/signing-modern.p12";
  write(pfxModern_, P12Ptr(PKCS12_create(kPfxPassword, name, signing_.Key(), signing_.Cert(), cas,
                                         0, 0, 0, 0, 0)));
  pfxLegacy_ = dir_ + "/signing-legacy.p12";
  P12Ptr legacy(PKCS12_create(kPfxPassword, name, signing_.Key(), signing_.Cert(), cas,
                              NID_pbe_WithSHA1And3_Key_TripleDES_CBC,
                              NID_pbe_WithSHA1And40BitRC2_CBC, 2048, -1, 0));
  if (legacy && !PKCS12_set_mac(legacy.get(), kPfxPassword, -1, nullptr, 0, 2048, EVP_sha1()))
    Fail("legacy PFX MAC");
  write(pfxLegacy_, std::move(legacy));
  pfxEmpty_ = dir_ + "/signing-empty-password.p12";
  write(pfxEmpty_, P12Ptr(PKCS12_create("", name, signing_.Key(), signing_.Cert(), cas, 0, 0, 0, 0, 0)));
  pfxKeyOnly_ = dir_ + "/key-only.p12";
  write(pfxKeyOnly_, P12Ptr(PKCS12_create(kPfxPassword, name, signing_.Key(), nullptr, nullptr, 0, 0,
                                          0, 0, 0)));
  sk_X509_free(cas);
}

}  // namespace TvrTest
