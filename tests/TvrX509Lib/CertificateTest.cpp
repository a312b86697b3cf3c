#include "AuthInfoAccess.h"
#include "CertTestUtil.h"
#include "ErrCodeException.h"
#include "KeyUsage.h"
#include "LogCapture.h"
#include "TestPki.h"
#include "X509Certificate.h"
#include "X509CertificateImpl.h"
#include "X509LibLogger.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <map>

using namespace TvrX509;
using CertTest::At;
using CertTest::Bytes;
using CertTest::CodeOf;
using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

// `openssl x509 -fingerprint -sha1` as 40 lower-case digits.
std::string CommandLineThumbprint(const std::string& pemPath)
{
    std::string output = CertTest::Run("openssl x509 -in '" + pemPath + "' -noout -fingerprint -sha1");
    std::string hex = CertTest::ValueAfter(output, "Fingerprint=");
    hex.erase(std::remove(hex.begin(), hex.end(), ':'), hex.end());
    std::transform(hex.begin(), hex.end(), hex.begin(), [](unsigned char c) { return std::tolower(c); });
    return hex;
}

std::string Base64Of(const std::vector<unsigned char>& der)
{
    std::string text(4 * ((der.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), der.data(), static_cast<int>(der.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

std::string WriteTemp(const std::string& name, const std::string& content)
{
    std::string path = TestPki::Get().Dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

PkiItem Leaf(const std::string& cn, std::vector<std::pair<std::string, std::string>> extensions,
             const std::string& keyType = "ec")
{
    CertSpec spec;
    spec.subject = "/C=HU/O=Tavrenic Test/CN=" + cn;
    spec.extensions = std::move(extensions);
    spec.keyType = keyType;
    return CertBuilder::Issue(spec, &TestPki::Get().Intermediate());
}

} // namespace

TEST(CertificateTest, EveryInputFormGivesTheSameCertificateAndThumbprint)
{
    const TestPki& pki = TestPki::Get();
    const PkiItem& leaf = pki.SigningLeaf();
    const std::string expected = CommandLineThumbprint(leaf.pemPath);
    ASSERT_EQ(expected.size(), 40u);

    const std::string pem = leaf.Pem();
    const std::string base64 = Base64Of(leaf.Der());
    const std::string textPath = WriteTemp("signing-text.pem", CertTest::Run("openssl x509 -in '" + leaf.pemPath + "' -text"));
    ASSERT_EQ(CertTest::ReadText(textPath).rfind("Certificate:", 0), 0u);  // text first, then the armour

    struct Case {
        const char* name;
        std::function<X509Certificate()> make;
    } cases[] = {
        {"X509*", [&] { return X509Certificate(leaf.Cert()); }},
        {"DER bytes", [&] { return X509Certificate(Bytes(leaf.Der())); }},
        {"DERBytes", [&] { return X509Certificate(TvrASN1::DERBytes(leaf.Der().data(), leaf.Der().size())); }},
        {"PEM bytes", [&] { return X509Certificate(Bytes(pem)); }},
        {"Base64 of DER, one line", [&] { return X509Certificate(Bytes(base64)); }},
        {"Base64 of DER, with line breaks", [&] { return X509Certificate(Bytes(X509Certificate(leaf.Cert()).GetBase64())); }},
        {"Base64 of PEM", [&] { return X509Certificate(Bytes(Base64Of(std::vector<unsigned char>(pem.begin(), pem.end())))); }},
        {"PEM file", [&] { return X509Certificate(leaf.pemPath); }},
        {"PEM file with text before the armour", [&] { return X509Certificate(textPath); }},
        {"DER file", [&] { return X509Certificate(leaf.derPath); }},
        {"PKCS#12 modern", [&] { return X509Certificate(pki.PfxModernPath(), TestPki::kPfxPassword); }},
        {"PKCS#12 legacy", [&] { return X509Certificate(pki.PfxLegacyPath(), TestPki::kPfxPassword); }},
        {"PKCS#12 empty password", [&] { return X509Certificate(pki.PfxEmptyPasswordPath()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            X509Certificate certificate = c.make();
            EXPECT_EQ(certificate.GetThumbprint(), expected);
            EXPECT_EQ(*certificate.GetDER(), Bytes(leaf.Der()));
            EXPECT_EQ(certificate.GetTag(), 7);
            EXPECT_EQ(certificate.GetUserInt(), 0);
        } catch (const TvrCommon::ErrCodeException& e) {
            ADD_FAILURE() << "code " << e.GetCode();
        }
    }
}

TEST(CertificateTest, InputThatIsNoCertificateIsRefusedWithItsCode)
{
    const TestPki& pki = TestPki::Get();
    const std::string garbagePath = WriteTemp("garbage.bin", "neither PEM nor DER nor PKCS#12");
    const std::vector<unsigned char> der = pki.SigningLeaf().Der();
    const std::string brokenPem = "-----BEGIN CERTIFICATE-----\nMIIBIjANBgkqhkiG\n-----END CERTIFICATE-----\n";

    struct Case {
        const char* name;
        std::function<void()> make;
        int code;
        const char* errorLine;
    } cases[] = {
        {"null data", [] { (void)X509Certificate(static_cast<const unsigned char*>(nullptr), 10); }, 4, nullptr},
        {"zero length", [&] { (void)X509Certificate(der.data(), 0); }, 4, nullptr},
        {"Base64 that decodes to nothing", [] { (void)X509Certificate(Bytes(std::string("!!!!"))); }, 7,
         "Failed to create X509 certificate, the input is empty!"},
        {"truncated DER", [&] { (void)X509Certificate(der.data(), static_cast<int>(der.size() / 2)); }, 4, nullptr},
        {"PEM that does not parse", [&] { (void)X509Certificate(Bytes(brokenPem)); }, 4,
         "Failed to parse the certificate (error code: "},
        // Bytes that do not start with the armour are Base64; only a file may carry text first.
        {"PEM bytes with text before the armour", [&] { (void)X509Certificate(Bytes("Signing leaf\n" + pki.SigningLeaf().Pem())); },
         7, "Failed to create X509 certificate, the input is empty!"},
        {"missing file", [&] { (void)X509Certificate(pki.Dir() + "/no-such-file.pem"); }, 5,
         "Could not read certificate path: "},
        {"file of other text", [&] { (void)X509Certificate(garbagePath); }, 4, "Error parsing pkcs12 file! Path: "},
        {"PKCS#12 with a wrong password", [&] { (void)X509Certificate(pki.PfxModernPath(), "wrong"); }, 4,
         "Error parsing pkcs12 file! Path: "},
        {"PKCS#12 without certificate", [&] { (void)X509Certificate(pki.PfxKeyOnlyPath(), TestPki::kPfxPassword); }, 4,
         "Failed to construct X509 certificate!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture capture(TvrX509::SetLogger);
        EXPECT_EQ(CodeOf(c.make), c.code);
        if (c.errorLine) {
            EXPECT_NE(capture.error.str().find(c.errorLine), std::string::npos) << capture.error.str();
        }
    }
}

// notBefore <= t + tolerance and notAfter > t - tolerance, at explicit instants.
TEST(CertificateTest, ValidityAtTheBoundaryInstants)
{
    const PkiItem& leaf = TestPki::Get().SigningLeaf();
    X509Certificate certificate(leaf.Cert());
    const std::time_t notBefore = leaf.NotBefore();
    const std::time_t notAfter = leaf.NotAfter();
    EXPECT_EQ(certificate.GetNotBefore(), At(notBefore));
    EXPECT_EQ(certificate.GetNotAfter(), At(notAfter));

    struct Case {
        std::time_t t;
        unsigned tolerance;
        bool valid;
    } cases[] = {
        {notBefore - 1, 0, false}, {notBefore, 0, true},       {notBefore + 1, 0, true},
        {notAfter - 1, 0, true},   {notAfter, 0, false},       {notAfter + 1, 0, false},
        {notBefore - 60, 60, true}, {notBefore - 61, 60, false},
        {notAfter + 59, 60, true},  {notAfter + 60, 60, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.t - notBefore) + "s after notBefore, tolerance " + std::to_string(c.tolerance));
        EXPECT_EQ(certificate.CheckValidityPeriod(At(c.t), c.tolerance), c.valid);
        LogCapture capture(TvrX509::SetLogger);
        EXPECT_EQ(certificate.IsValidAt(At(c.t), c.tolerance), c.valid);
        EXPECT_EQ(capture.error.str(), c.valid ? "" : "Certificate validity period check failed!\n");
    }
}

TEST(CertificateTest, PrivateKeyUsagePeriodLimitsValidity)
{
    using TvrTest::DerTlv;
    auto generalized = [](const char* text) {
        return std::vector<unsigned char>(text, text + std::strlen(text));
    };
    auto period = [&](bool withNotBefore, bool withNotAfter) {
        std::vector<unsigned char> content;
        if (withNotBefore) {
            auto part = DerTlv(0x80, generalized("20300101000000Z"));
            content.insert(content.end(), part.begin(), part.end());
        }
        if (withNotAfter) {
            auto part = DerTlv(0x81, generalized("20300201000000Z"));
            content.insert(content.end(), part.begin(), part.end());
        }
        return "DER:" + TvrTest::Hex(DerTlv(0x30, content));
    };
    const std::time_t jan2030 = 1893456000;  // 2030-01-01T00:00:00Z
    const std::time_t feb2030 = 1896134400;  // 2030-02-01T00:00:00Z

    X509Certificate both(Leaf("PKUP both", {{"privateKeyUsagePeriod", period(true, true)}}).Cert());
    std::unique_ptr<TvrCommon::Date> notBefore, notAfter;
    ASSERT_TRUE(both.GetPrivateKeyUsagePeriod(notBefore, notAfter));
    ASSERT_TRUE(notBefore && notAfter);
    EXPECT_EQ(*notBefore, At(jan2030));
    EXPECT_EQ(*notAfter, At(feb2030));
    EXPECT_FALSE(both.CheckPrivateKeyUsagePeriod(At(jan2030 - 1), 0));
    EXPECT_TRUE(both.CheckPrivateKeyUsagePeriod(At(jan2030 - 1), 1));
    EXPECT_TRUE(both.CheckPrivateKeyUsagePeriod(At(feb2030), 0));  // an equal notAfter is still valid
    EXPECT_FALSE(both.CheckPrivateKeyUsagePeriod(At(feb2030 + 1), 0));

    X509Certificate onlyAfter(Leaf("PKUP after", {{"privateKeyUsagePeriod", period(false, true)}}).Cert());
    ASSERT_TRUE(onlyAfter.GetPrivateKeyUsagePeriod(notBefore, notAfter));
    EXPECT_FALSE(notBefore);
    EXPECT_TRUE(onlyAfter.CheckPrivateKeyUsagePeriod(At(0), 0));
    EXPECT_FALSE(onlyAfter.CheckPrivateKeyUsagePeriod(At(feb2030 + 1), 0));

    X509Certificate none(TestPki::Get().SigningLeaf().Cert());
    notBefore = std::make_unique<TvrCommon::Date>(At(1));
    EXPECT_TRUE(none.GetPrivateKeyUsagePeriod(notBefore, notAfter));
    EXPECT_FALSE(notBefore || notAfter);
    EXPECT_TRUE(none.CheckPrivateKeyUsagePeriod(At(feb2030 + 1), 0));

    PkiItem malformedItem = Leaf("PKUP malformed", {{"privateKeyUsagePeriod", "DER:0500"}});
    X509Certificate malformed(malformedItem.Cert());
    LogCapture capture(TvrX509::SetLogger);
    EXPECT_FALSE(malformed.GetPrivateKeyUsagePeriod(notBefore, notAfter));
    EXPECT_FALSE(malformed.IsValidAt(At(malformedItem.NotBefore() + 10), 0));
    auto lines = LogCapture::Lines(capture.error);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Failed to convert PrivateKeyUsagePeriod to internal format.");
    EXPECT_EQ(lines[2], "Malformed PrivateKeyUsagePeriod!");
    EXPECT_EQ(lines[3], "Privatekey usage period check failed!");
}

TEST(CertificateTest, NamesSerialAndKeyIdentifiersOfTheSigningLeaf)
{
    const TestPki& pki = TestPki::Get();
    const PkiItem& leaf = pki.SigningLeaf();
    X509Certificate certificate(leaf.pemPath);
    auto commandLine = [](const std::string& path, const char* option) {
        std::string out = CertTest::Run("openssl x509 -in '" + path + "' -noout -nameopt RFC2253,-esc_msb " + option);
        return out.substr(out.find('=') + 1, out.find('\n') - out.find('=') - 1);
    };
    EXPECT_EQ(certificate.GetSubjectDN(), commandLine(leaf.pemPath, "-subject"));
    EXPECT_EQ(certificate.GetSubjectDN(),
              "emailAddress=arvizturo@tavrenic.test,CN=Árvíztűrő Tükörfúrógép,OU=Aláírás,O=Tavrenic Teszt Kft.,C=HU");
    EXPECT_EQ(certificate.GetIssuerDN(), commandLine(leaf.pemPath, "-issuer"));
    EXPECT_EQ(certificate.GetSubjectCN(), "Árvíztűrő Tükörfúrógép");
    EXPECT_EQ(certificate.GetIssuerCN(), "Tavrenic Test Intermediate CA");
    EXPECT_EQ(certificate.GetDNAttribute("organizationalUnitName", 1), "Issuing");
    EXPECT_EQ(certificate.GetDNAttribute("countryName", 0), "HU");
    EXPECT_EQ(certificate.GetDNAttribute("title", 0), "");
    EXPECT_TRUE(certificate.GetSubjectName() == *certificate.GetSubject());
    EXPECT_TRUE(*certificate.GetIssuer() == X509Certificate(pki.Intermediate().Cert()).GetSubjectName());

    std::string serial = leaf.SerialHex();
    std::string colons;
    for (size_t i = 0; i < serial.size(); i += 2)
        colons += (i ? ":" : "") + serial.substr(i, 2);
    EXPECT_EQ(certificate.GetSerialNumber().ToHexString(), colons);

    X509Certificate intermediate(pki.Intermediate().Cert());
    EXPECT_EQ(certificate.GetAuthorityKeyIdentifierHex(), intermediate.GetSubjectKeyIdentifierHex());
    EXPECT_EQ(certificate.GetSubjectKeyIdentifierHex().size(), 40u);
    EXPECT_EQ(TvrCommon::ByteArray(certificate.GetSubjectKeyIdentifier()).Hexify(0, 0),
              certificate.GetSubjectKeyIdentifierHex());
    EXPECT_EQ(X509Certificate(pki.Root().Cert()).GetAuthorityKeyIdentifier(), "");

    // The issuer-name hash is the SHA-1 of the DER issuer name.
    unsigned char* name = nullptr;
    int nameLength = i2d_X509_NAME(X509_get_issuer_name(leaf.Cert()), &name);
    unsigned char sha1[20];
    EVP_Digest(name, static_cast<size_t>(nameLength), sha1, nullptr, EVP_sha1(), nullptr);
    OPENSSL_free(name);
    EXPECT_EQ(certificate.GetIssuerNameHash(), TvrCommon::BigInt(TvrCommon::ByteArray(sha1, 20)));

    // Base64 with line breaks is the PEM body.
    std::string pem = leaf.Pem();
    std::string body = pem.substr(pem.find('\n') + 1);
    body = body.substr(0, body.find("-----END") - 1);
    EXPECT_EQ(certificate.GetBase64(), body);
}

TEST(CertificateTest, EmailAndAlternativeNameTexts)
{
    const TestPki& pki = TestPki::Get();
    // The subject's emailAddress; the alternative name's first text.
    X509Certificate signing(pki.SigningLeaf().Cert());
    EXPECT_EQ(signing.GetEmail(), "arvizturo@tavrenic.test");
    EXPECT_EQ(signing.GetSubjectAltName(), "arvizturo@tavrenic.test");
    // The e-mail only in the alternative name.
    X509Certificate noKeyUsage(pki.NoKeyUsageLeaf().Cert());
    EXPECT_EQ(noKeyUsage.GetEmail(), "nokeyusage@tavrenic.test");
    // DNS and IP entries have no text: skipped.
    X509Certificate tls(pki.TlsServer().Cert());
    EXPECT_EQ(tls.GetEmail(), "");
    EXPECT_EQ(tls.GetSubjectAltName(), "");
    // No alternative name at all.
    EXPECT_EQ(X509Certificate(pki.OcspSigner().Cert()).GetSubjectAltName(), "");

    // A directoryName wins over an earlier text.
    X509_NAME* directory = X509_NAME_new();
    X509_NAME_add_entry_by_txt(directory, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Dir Name"), -1, -1, 0);
    unsigned char* der = nullptr;
    int length = i2d_X509_NAME(directory, &der);
    std::vector<unsigned char> name(der, der + length);
    OPENSSL_free(der);
    X509_NAME_free(directory);
    std::string mail = "first@tavrenic.test";
    auto altNames = TvrTest::DerTlv(0x30, [&] {
        auto rfc822 = TvrTest::DerTlv(0x81, std::vector<unsigned char>(mail.begin(), mail.end()));
        auto dirName = TvrTest::DerTlv(0xA4, name);
        rfc822.insert(rfc822.end(), dirName.begin(), dirName.end());
        return rfc822;
    }());
    X509Certificate withDirectory(Leaf("DirName", {{"subjectAltName", "DER:" + TvrTest::Hex(altNames)}}).Cert());
    EXPECT_EQ(withDirectory.GetSubjectAltName(), "CN=Dir Name");
    EXPECT_EQ(withDirectory.GetEmail(), mail);
}

TEST(CertificateTest, SignatureAndKeyDescriptions)
{
    X509Certificate ec(TestPki::Get().SigningLeaf().Cert());
    EXPECT_EQ(ec.GetSignatureAlgorithm(), "ecdsa-with-SHA256");
    EXPECT_EQ(ec.GetSignatureDigestAlgorithm(), "sha256");
    EXPECT_EQ(ec.GetSignatureKeyDescription(), "EC");

    PkiItem rsaLeaf = Leaf("RSA key", {}, "rsa");
    X509Certificate rsa(rsaLeaf.Cert());
    EXPECT_EQ(rsa.GetSignatureKeyDescription(), "RSA (2048 bit)");

    // The public key bytes are the subjectPublicKey bit string: the point for EC, the
    // RSAPublicKey for RSA.
    for (const PkiItem* item : {&TestPki::Get().SigningLeaf(), static_cast<const PkiItem*>(&rsaLeaf)}) {
        const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(item->Cert());
        EXPECT_EQ(X509Certificate(item->Cert()).GetPublicKeyBytes(),
                  TvrCommon::ByteArray(ASN1_STRING_get0_data(bits), static_cast<size_t>(ASN1_STRING_length(bits))));
    }

    // A self-signed RSA certificate signed with SHA-1: the names follow the algorithm.
    CertSpec spec;
    spec.subject = "/CN=Self";
    spec.keyType = "rsa";
    PkiItem self = CertBuilder::Issue(spec, nullptr);
    X509_sign(self.Cert(), self.Key(), EVP_sha1());
    X509Certificate sha1(self.Cert());
    EXPECT_EQ(sha1.GetSignatureAlgorithm(), "RSA-SHA1");
    EXPECT_EQ(sha1.GetSignatureDigestAlgorithm(), "sha1");

    // Ed25519 signatures have no digest of their own: the empty text.
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> edKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free);
    X509_set_pubkey(self.Cert(), edKey.get());
    X509_sign(self.Cert(), edKey.get(), nullptr);
    X509Certificate ed(self.Cert());
    EXPECT_EQ(ed.GetSignatureKeyDescription(), "ED25519");
    LogCapture capture(TvrX509::SetLogger);
    EXPECT_EQ(ed.GetSignatureDigestAlgorithm(), "");
    EXPECT_EQ(capture.error.str(), "");
}

TEST(CertificateTest, ExtensionLookup)
{
    X509Certificate certificate(TestPki::Get().SigningLeaf().Cert());
    std::unique_ptr<X509Extension> keyUsage = certificate.GetExtension("2.5.29.15");
    ASSERT_TRUE(dynamic_cast<KeyUsage*>(keyUsage.get()));
    EXPECT_TRUE(keyUsage->IsCritical());
    EXPECT_TRUE(dynamic_cast<AuthInfoAccess*>(certificate.GetExtension("authorityInfoAccess").get()));
    EXPECT_FALSE(certificate.GetExtension("2.5.29.16"));  // known to OpenSSL, absent
    EXPECT_EQ(CodeOf([&] { certificate.GetExtension("1.2.3.4.5.6.7.8"); }), 1);
}

TEST(CertificateTest, UnsupportedCriticalExtensionsByOid)
{
    PkiItem odd = Leaf("Odd", {{"1.3.6.1.4.1.99999.7", "critical,DER:0500"},
                               {"1.3.6.1.4.1.99999.8", "DER:0500"},
                               {"keyUsage", "critical,digitalSignature"}});
    EXPECT_EQ(X509CertificateImpl::GetUnsupportedCriticalExtensions(odd.Cert()),
              std::vector<std::string>{"1.3.6.1.4.1.99999.7"});
    EXPECT_TRUE(X509CertificateImpl::GetUnsupportedCriticalExtensions(TestPki::Get().SigningLeaf().Cert()).empty());
}

TEST(CertificateTest, KeyUsageConsistencyWithExtendedKeyUsage)
{
    struct Case {
        const char* keyUsage;  // null: no keyUsage
        const char* purposes;  // null: no extendedKeyUsage
        bool consistent;
        const char* errorLine;
    } cases[] = {
        {"dataEncipherment", "serverAuth", false,
         "OID_server_auth extended key usage requires digitalSignature || keyEncipherment || keyAgreement!"},
        {"keyEncipherment", "serverAuth", true, nullptr},
        {"nonRepudiation", "codeSigning", false, "OID_code_sign extended key usage requires digitalSignature bit!"},
        {"nonRepudiation", "OCSPSigning,timeStamping", true, nullptr},
        {"keyEncipherment", "clientAuth", false,
         "OID_client_auth extended key usage requires digitalSignature || keyAgreement key usage bit!"},
        {"keyAgreement", "emailProtection", true, nullptr},
        {"dataEncipherment", "1.3.6.1.4.1.311.10.3.12", true, nullptr},  // other purposes pass
        {"dataEncipherment", nullptr, true, nullptr},
        {nullptr, "serverAuth", true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.keyUsage ? c.keyUsage : "-") + " / " + (c.purposes ? c.purposes : "-"));
        std::vector<std::pair<std::string, std::string>> extensions;
        if (c.keyUsage)
            extensions.emplace_back("keyUsage", c.keyUsage);
        if (c.purposes)
            extensions.emplace_back("extendedKeyUsage", c.purposes);
        X509Certificate certificate(Leaf("Consistency", extensions).Cert());
        LogCapture capture(TvrX509::SetLogger);
        EXPECT_EQ(certificate.CheckKeyUsageConsistency(), c.consistent);
        EXPECT_EQ(capture.error.str(), c.errorLine ? std::string(c.errorLine) + "\n" : "");
    }
}

TEST(CertificateTest, KeyUsageForAPurpose)
{
    const TestPki& pki = TestPki::Get();
    PkiItem rsaEncryption = Leaf("RSA encryption", {{"keyUsage", "keyEncipherment,dataEncipherment"}}, "rsa");
    struct Case {
        const PkiItem* item;
        int purpose;
        bool relaxed;
        int result;
    } cases[] = {
        {&pki.SigningLeaf(), 1, false, 0},     // digitalSignature+nonRepudiation for signing
        {&pki.SigningLeaf(), 2, false, 3},     // nonRepudiation is outside the authentication mask
        {&pki.SigningLeaf(), 4, false, 2},     // an EC key encrypts by keyAgreement only
        {&pki.EncryptionLeaf(), 4, false, 2},  // keyEncipherment on an EC key
        {&rsaEncryption, 4, false, 0},
        {&pki.TlsServer(), 1, false, 2},       // signing requires nonRepudiation ...
        {&pki.TlsServer(), 1, true, 0},        // ... unless relaxed
        {&pki.NoKeyUsageLeaf(), 1, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item->name + " purpose " + std::to_string(c.purpose));
        EXPECT_EQ(X509Certificate(c.item->Cert()).CheckKeyUsage(c.purpose, false, c.relaxed), c.result);
    }
    X509Certificate empty;
    EXPECT_EQ(empty.CheckKeyUsage(1, false, false), 4);
}

TEST(CertificateTest, AuthorityInformationAddressesAreSortedSets)
{
    const TestPki& pki = TestPki::Get();
    X509Certificate signing(pki.SigningLeaf().Cert());
    // The extension lists the second address first; the set sorts them.
    EXPECT_EQ(signing.GetOCSPUrls(), (std::set<std::string>{TestPki::kOcspUrl, TestPki::kOcspUrl2}));
    EXPECT_EQ(signing.GetCAIssuerURLs(), std::set<std::string>{TestPki::kIntermediateUrl});

    PkiItem twice = Leaf("Twice", {{"authorityInfoAccess", std::string("caIssuers;URI:") + TestPki::kRootUrl +
                                                               ",caIssuers;URI:" + TestPki::kRootUrl +
                                                               ",caIssuers;email:ca@tavrenic.test"}});
    {
        LogCapture capture(TvrX509::SetLogger);
        EXPECT_EQ(X509Certificate(twice.Cert()).GetCAIssuerURLs(), std::set<std::string>{TestPki::kRootUrl});
        EXPECT_EQ(LogCapture::Lines(capture.debug),
                  (std::vector<std::string>{std::string("Found AIA issuer Cert URL: ") + TestPki::kRootUrl,
                                            std::string("Already know the AIA issuer Cert URL : ") + TestPki::kRootUrl}));
    }
    X509Certificate root(pki.Root().Cert());
    LogCapture capture(TvrX509::SetLogger);
    EXPECT_TRUE(root.GetCAIssuerURLs().empty());
    EXPECT_TRUE(root.GetOCSPUrls().empty());
    EXPECT_EQ(capture.debug.str(), "AIA extension not found.\n");
}

TEST(CertificateTest, CertificateAuthorities)
{
    const TestPki& pki = TestPki::Get();
    X509Certificate root(pki.Root().Cert()), intermediate(pki.Intermediate().Cert()), leaf(pki.SigningLeaf().Cert());
    EXPECT_TRUE(root.IsCA());
    EXPECT_TRUE(root.IsSelfIssuedCA());
    EXPECT_TRUE(intermediate.IsCA());
    EXPECT_FALSE(intermediate.IsSelfIssuedCA());
    EXPECT_FALSE(leaf.IsCA());
    EXPECT_FALSE(leaf.IsSelfIssuedCA());
}

TEST(CertificateTest, OriginTagsKeepOnePerClass)
{
    X509Certificate certificate(TestPki::Get().SigningLeaf().Cert());
    EXPECT_EQ(certificate.GetTag(), 7);
    certificate.AddTag(3);
    EXPECT_EQ(certificate.GetTag(), 3);
    certificate.AddTag(2);
    EXPECT_EQ(certificate.GetTag(), 2);
    certificate.AddTag(0);  // same class as 2: kept out
    EXPECT_EQ(certificate.GetTag(), 2);
    certificate.AddTag(1);
    EXPECT_EQ(certificate.GetTag(), 1);

    certificate.SetUserInt(42);
    X509Certificate copy(certificate);
    EXPECT_EQ(copy.GetTag(), 1);
    EXPECT_EQ(copy.GetUserInt(), 42);
    X509Certificate assigned(TestPki::Get().Root().Cert());
    assigned = certificate;
    EXPECT_EQ(assigned.GetTag(), 1);
    EXPECT_EQ(assigned.GetUserInt(), 42);
    EXPECT_TRUE(assigned == certificate);
    const auto& same = assigned;  // self-assignment, through a reference
    assigned = same;
    EXPECT_EQ(assigned.GetThumbprint(), certificate.GetThumbprint());
}

// X509_cmp puts an empty certificate level with every other one; here it sorts first, so
// maps keyed by certificates keep working.
TEST(CertificateTest, OrderIsOpenSSLsWithEmptyCertificatesFirst)
{
    const TestPki& pki = TestPki::Get();
    X509Certificate empty;
    X509Certificate emptyCopy(empty);
    X509Certificate leaf(pki.SigningLeaf().Cert());
    EXPECT_TRUE(empty == emptyCopy);
    EXPECT_FALSE(empty < emptyCopy);
    EXPECT_TRUE(empty < leaf);
    EXPECT_FALSE(leaf < empty);
    EXPECT_TRUE(empty != leaf);

    std::vector<const PkiItem*> items = {&pki.Root(), &pki.Intermediate(), &pki.SigningLeaf(), &pki.TlsServer(),
                                         &pki.EncryptionLeaf(), &pki.ExpiredLeaf()};
    std::map<X509Certificate, std::string> byCertificate;
    byCertificate[empty] = "empty";
    for (const PkiItem* item : items)
        byCertificate[X509Certificate(item->Cert())] = item->name;
    ASSERT_EQ(byCertificate.size(), items.size() + 1);
    EXPECT_EQ(byCertificate.begin()->second, "empty");
    for (const PkiItem* item : items) {
        EXPECT_EQ(byCertificate[X509Certificate(item->Cert())], item->name);
        for (const PkiItem* other : items) {
            int openssl = X509_cmp(item->Cert(), other->Cert());
            EXPECT_EQ(X509Certificate(item->Cert()) < X509Certificate(other->Cert()), openssl < 0);
            EXPECT_EQ(X509Certificate(item->Cert()) == X509Certificate(other->Cert()), openssl == 0);
        }
    }
}

TEST(CertificateTest, CopiesAreIndependentOfTheSource)
{
    X509* source = X509_dup(TestPki::Get().SigningLeaf().Cert());
    X509Certificate certificate(source);
    X509_NAME* other = X509_NAME_new();
    X509_NAME_add_entry_by_txt(other, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Changed"), -1, -1, 0);
    X509_set_subject_name(source, other);
    X509_NAME_free(other);
    X509_free(source);
    EXPECT_EQ(certificate.GetSubjectCN(), "Árvíztűrő Tükörfúrógép");
    EXPECT_EQ(certificate.GetThumbprint(), CommandLineThumbprint(TestPki::Get().SigningLeaf().pemPath));
}
