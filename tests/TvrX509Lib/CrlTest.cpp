#include "ASN1Exception.h"
#include "CertTestUtil.h"
#include "ErrCodeException.h"
#include "LogCapture.h"
#include "TestPki.h"
#include "X509CRLImpl.h"
#include "X509LibLogger.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <functional>

using namespace TvrX509;
using CertTest::At;
using CertTest::CodeOf;
using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

struct CrlShape {
    const PkiItem* issuer = nullptr;
    EVP_PKEY* signingKey = nullptr;  // null: the issuer's key
    long number = 0;                 // 0: no cRLNumber
    bool nextUpdate = true;
    bool criticalIssuingDistributionPoint = false;
    std::vector<long> revokedSerials;
};

std::vector<unsigned char> MakeCrl(const CrlShape& shape)
{
    std::unique_ptr<X509_CRL, void (*)(X509_CRL*)> crl(X509_CRL_new(), X509_CRL_free);
    X509_CRL_set_version(crl.get(), 1);
    X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(shape.issuer->Cert()));
    ASN1_TIME* t = ASN1_TIME_set(nullptr, 1767225600);  // 2026-01-01T00:00:00Z
    X509_CRL_set1_lastUpdate(crl.get(), t);
    ASN1_TIME_set(t, 1767225600 + 7 * 86400);
    if (shape.nextUpdate)
        X509_CRL_set1_nextUpdate(crl.get(), t);
    for (long serial : shape.revokedSerials) {
        X509_REVOKED* entry = X509_REVOKED_new();
        ASN1_INTEGER* number = ASN1_INTEGER_new();
        ASN1_INTEGER_set(number, serial);
        X509_REVOKED_set_serialNumber(entry, number);
        ASN1_INTEGER_free(number);
        X509_REVOKED_set_revocationDate(entry, t);
        X509_CRL_add0_revoked(crl.get(), entry);
    }
    ASN1_TIME_free(t);
    if (shape.number) {
        ASN1_INTEGER* number = ASN1_INTEGER_new();
        ASN1_INTEGER_set(number, shape.number);
        X509_CRL_add1_ext_i2d(crl.get(), NID_crl_number, number, 0, 0);
        ASN1_INTEGER_free(number);
    }
    if (shape.criticalIssuingDistributionPoint) {
        // IssuingDistributionPoint { onlyContainsUserCerts TRUE }
        const unsigned char value[] = {0x30, 0x03, 0x81, 0x01, 0xFF};
        ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(data, value, sizeof(value));
        X509_EXTENSION* idp = X509_EXTENSION_create_by_NID(nullptr, NID_issuing_distribution_point, 1, data);
        X509_CRL_add_ext(crl.get(), idp, -1);
        X509_EXTENSION_free(idp);
        ASN1_OCTET_STRING_free(data);
    }
    X509_CRL_sort(crl.get());
    X509_CRL_sign(crl.get(), shape.signingKey ? shape.signingKey : shape.issuer->Key(), EVP_sha256());
    unsigned char* der = nullptr;
    int length = i2d_X509_CRL(crl.get(), &der);
    std::vector<unsigned char> bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

X509CRLImpl Parse(const std::string& text)
{
    return X509CRLImpl(reinterpret_cast<const unsigned char*>(text.data()), static_cast<long>(text.size()));
}

X509CRLImpl Parse(const std::vector<unsigned char>& der)
{
    return X509CRLImpl(der.data(), static_cast<long>(der.size()));
}

std::string Base64Of(const std::vector<unsigned char>& der)
{
    std::string text(4 * ((der.size() + 2) / 3) + 1, '\0');
    text.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), der.data(),
                                                    static_cast<int>(der.size()))));
    return text;
}

} // namespace

TEST(CrlTest, DerPemAndBase64ParseToTheSameList)
{
    const TestPki& pki = TestPki::Get();
    const std::vector<unsigned char> der = pki.CrlDer();
    const std::string pem = CertTest::ReadText(pki.CrlPemPath());
    struct Case {
        const char* name;
        std::function<X509CRLImpl()> make;
        std::vector<std::string> debugLines;
    } cases[] = {
        {"DER", [&] { return Parse(der); }, {"Try DER parsing CRL.", "DER CRL successfully parsed!"}},
        {"DERBytes", [&] { return X509CRLImpl(TvrASN1::DERBytes(der.data(), der.size())); }, {}},
        {"PEM", [&] { return Parse(pem); },
         {"Try DER parsing CRL.", "Not DER format CRL!", "Try PEM parsing CRL.", "PEM CRL successfully parsed!"}},
        {"Base64", [&] { return Parse(Base64Of(der)); },
         {"Try DER parsing CRL.", "Not DER format CRL!", "Try PEM parsing CRL.", "Try base64 decoding CRL.",
          "DER CRL successfully parsed!"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture capture(TvrX509::SetLogger);
        X509CRLImpl crl = c.make();
        EXPECT_EQ(LogCapture::Lines(capture.debug), c.debugLines);
        EXPECT_EQ(*crl.GetDER(), CertTest::Bytes(der));
        EXPECT_EQ(crl.GetVersion(), 1);
        EXPECT_EQ(crl.GetIssuerDN(), "CN=Tavrenic Test Intermediate CA,OU=Issuing,O=Tavrenic Test,C=HU");
        EXPECT_EQ(crl.GetIssuerCN(), "Tavrenic Test Intermediate CA");
        long number = 0;
        EXPECT_TRUE(crl.GetCRLNumber(number));
        EXPECT_EQ(number, 1);
        EXPECT_EQ(crl.GetSignatureDigestAlgorithm(), "sha256");
        EXPECT_EQ(crl.GetExtensionCount(), 2);
    }
}

TEST(CrlTest, FieldsTimesAndFingerprint)
{
    const TestPki& pki = TestPki::Get();
    CrlShape shape;
    shape.issuer = &pki.Intermediate();
    shape.number = 7;
    X509CRLImpl crl = Parse(MakeCrl(shape));
    EXPECT_EQ(crl.GetLastUpdate(), At(1767225600));
    EXPECT_EQ(crl.GetNextUpdate(), At(1767225600 + 7 * 86400));

    X509Extension extension;
    ASSERT_TRUE(crl.GetExtension(0, extension));
    EXPECT_EQ(extension.GetOID(), "2.5.29.20");
    EXPECT_FALSE(crl.GetExtension(1, extension));
    EXPECT_EQ(extension.GetOID(), "2.5.29.20");

    // SHA-1 over the OCTET STRING form of the signature value, upper case.
    const ASN1_BIT_STRING* signature = crl.GetSignatureValue();
    std::vector<unsigned char> octets = {0x04, static_cast<unsigned char>(ASN1_STRING_length(signature))};
    octets.insert(octets.end(), ASN1_STRING_get0_data(signature),
                  ASN1_STRING_get0_data(signature) + ASN1_STRING_length(signature));
    unsigned char sha1[20];
    EVP_Digest(octets.data(), octets.size(), sha1, nullptr, EVP_sha1(), nullptr);
    EXPECT_EQ(crl.GetFingerprint(), TvrCommon::ByteArray(sha1, 20).Hexify(1, 0));

    // A list without nextUpdate (optional in RFC 5280) and without number.
    shape.nextUpdate = false;
    shape.number = 0;
    X509CRLImpl open = Parse(MakeCrl(shape));
    EXPECT_FALSE(open.GetNextUpdate().IsValid());
    long number = 42;
    EXPECT_FALSE(open.GetCRLNumber(number));
    EXPECT_EQ(number, 42);
    EXPECT_EQ(open.GetExtensionCount(), 0);
}

TEST(CrlTest, InputThatIsNoCrlIsRefused)
{
    const std::vector<unsigned char> der = TestPki::Get().CrlDer();
    struct Case {
        const char* name;
        std::function<void()> make;
        int code;
    } cases[] = {
        {"null", [] { X509CRLImpl(static_cast<const unsigned char*>(nullptr), 5); }, 4},
        {"empty", [&] { X509CRLImpl(der.data(), 0); }, 4},
        {"plain text", [] { Parse(std::string("this is not a revocation list")); }, 7},
        {"text that decodes to nothing", [] { Parse(std::string("!!!!")); }, 7},
        {"truncated DER", [&] { X509CRLImpl(der.data(), static_cast<long>(der.size() / 2)); }, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture capture(TvrX509::SetLogger);
        EXPECT_EQ(CodeOf(c.make), c.code);
        if (c.code == 7) {
            EXPECT_NE(capture.error.str().find("Can not parse CRL: fomrat error!\n"), std::string::npos);
        }
    }
    EXPECT_THROW((void)X509CRLImpl(TvrASN1::DERBytes(der.data(), der.size() / 2)), TvrASN1::ASN1Exception);
}

TEST(CrlTest, RevokedEntriesBySerialNumber)
{
    const TestPki& pki = TestPki::Get();
    X509CRLImpl crl = Parse(pki.CrlDer());
    for (const PkiItem* item : {&pki.RevokedLeaf(), &pki.OnHoldLeaf()}) {
        TvrCommon::BigInt serial = X509Certificate(item->Cert()).GetSerialNumber();
        std::unique_ptr<X509Revoked> entry = crl.GetRevoked(serial);
        ASSERT_TRUE(entry) << item->name;
        EXPECT_EQ(entry->GetSerialNumber(), serial);
        EXPECT_EQ(entry->GetRevocationDate(), At(pki.RevocationTime()));
    }
    EXPECT_FALSE(crl.GetRevoked(X509Certificate(pki.SigningLeaf().Cert()).GetSerialNumber()));

    // Among several entries the one asked for; serial numbers beyond one byte.
    CrlShape shape;
    shape.issuer = &pki.Intermediate();
    shape.revokedSerials = {0x10, 0x1234, 0x7FFFFFFF};
    X509CRLImpl many = Parse(MakeCrl(shape));
    std::unique_ptr<X509Revoked> entry = many.GetRevoked(TvrCommon::BigInt("1234", true));
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->GetSerialNumber().ToHexString(), "12:34");
    X509Revoked copy(*entry);
    EXPECT_EQ(copy.GetSerialNumber(), entry->GetSerialNumber());
    EXPECT_FALSE(many.GetRevoked(TvrCommon::BigInt("1235", true)));
    X509Revoked empty;
    X509Revoked emptyCopy(empty);
    EXPECT_EQ(emptyCopy.GetSerialNumber().ToHexString(), "");
}

TEST(CrlTest, SignatureCheck)
{
    const TestPki& pki = TestPki::Get();
    X509Certificate intermediate(pki.Intermediate().Cert());
    X509CRLImpl crl = Parse(pki.CrlDer());
    EXPECT_EQ(crl.VerifySignature(intermediate), 0);
    EXPECT_EQ(crl.VerifySignature(X509Certificate(pki.Root().Cert())), 1);
    EXPECT_EQ(crl.VerifySignature(X509Certificate()), 1);  // no key at all

    // The issuer's name, another key.
    CrlShape shape;
    shape.issuer = &pki.Intermediate();
    shape.signingKey = pki.Root().Key();
    EXPECT_EQ(Parse(MakeCrl(shape)).VerifySignature(intermediate), 1);

    // A good signature, but a critical issuingDistributionPoint: no extension is supported.
    shape.signingKey = nullptr;
    shape.criticalIssuingDistributionPoint = true;
    X509CRLImpl partitioned = Parse(MakeCrl(shape));
    LogCapture capture(TvrX509::SetLogger);
    EXPECT_EQ(partitioned.VerifySignature(intermediate), 3);
    std::vector<std::string> debug = LogCapture::Lines(capture.debug);
    ASSERT_FALSE(debug.empty());
    EXPECT_EQ(debug.back().substr(0, 2), "d:");
    EXPECT_EQ(debug.back().back(), 't');
}

TEST(CrlTest, ListsOfOneIssuerCompareEqual)
{
    const TestPki& pki = TestPki::Get();
    CrlShape shape;
    shape.issuer = &pki.Intermediate();
    shape.number = 1;
    X509CRLImpl first = Parse(MakeCrl(shape));
    shape.number = 2;
    X509CRLImpl second = Parse(MakeCrl(shape));
    EXPECT_TRUE(first == second);
    EXPECT_NE(first.GetFingerprint(), second.GetFingerprint());
    shape.issuer = &pki.Root();
    EXPECT_FALSE(first == Parse(MakeCrl(shape)));
    X509CRLImpl copy(first);
    EXPECT_TRUE(copy == first);
    X509CRLImpl empty;
    X509CRLImpl emptyCopy(empty);
    EXPECT_TRUE(emptyCopy == emptyCopy);
}
