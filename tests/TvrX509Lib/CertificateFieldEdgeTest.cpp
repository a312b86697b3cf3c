// Certificates whose fields are legal but unusual, or broken in one place: an empty
// subject, an OCSP location that is not a URI, signatures without a separate digest or
// with the digest in their parameters, and times that are no real instant.
#include "CertTestUtil.h"
#include "ErrCodeException.h"
#include "LogCapture.h"
#include "PropertyWriter.h"
#include "TestPki.h"
#include "X509Certificate.h"
#include "X509LibLogger.h"
#include "X509Name.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <map>

using namespace TvrX509;
using CertTest::At;
using CertTest::CodeOf;
using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

// Keeps the text properties of the outermost section by name.
class PropertyMap : public IPropertyWriter {
public:
    std::unique_ptr<IPropertyWriter> AddSection(const std::string&, const PropertyAttributes&,
                                                const SectionFormat&) override
    {
        return std::make_unique<PropertyMap>();
    }
    void AddProperty(const std::string& name, const PropertyValue& value, const PropertyAttributes&,
                     const PropertyFormat&) override
    {
        if (value.type == 1)
            properties[name] = value.value.text;
    }
    std::map<std::string, std::string> properties;
};

std::map<std::string, std::string> Describe(const X509Certificate& certificate)
{
    PropertyMap writer;
    certificate.DumpProperties(writer);
    return writer.properties;
}

PkiItem Issue(const std::string& subject, std::vector<std::pair<std::string, std::string>> extensions)
{
    CertSpec spec;
    spec.subject = subject;
    spec.extensions = std::move(extensions);
    return CertBuilder::Issue(spec, &TestPki::Get().Intermediate());
}

// A self-signed certificate made by `openssl req` with these key and signature options.
X509Certificate FromCommandLine(const std::string& name, const std::string& options)
{
    const std::string dir = TestPki::Get().Dir();
    const std::string pem = dir + "/" + name + ".pem";
    CertTest::Run("openssl req -x509 -nodes -days 30 -subj '/CN=" + name + "' " + options + " -keyout '" + dir + "/" +
                  name + ".key' -out '" + pem + "' 2>/dev/null");
    return X509Certificate(pem);
}

} // namespace

TEST(CertificateFieldEdgeTest, EmptySubjectIsAnEmptyName)
{
    const PkiItem nameless = Issue("", {{"subjectAltName", "critical,email:nobody@tavrenic.test"}});
    ASSERT_EQ(X509_NAME_entry_count(X509_get_subject_name(nameless.Cert())), 0);
    X509Certificate certificate(nameless.Cert());
    EXPECT_EQ(certificate.GetSubjectDN(), "");
    EXPECT_EQ(certificate.GetSubject()->GetOneLine(), "");
    EXPECT_EQ(certificate.GetSubjectCN(), "");
    EXPECT_FALSE(certificate.GetIssuerDN().empty());

    std::map<std::string, std::string> properties;
    ASSERT_NO_THROW(properties = Describe(certificate));
    ASSERT_TRUE(properties.count("SubjectDN"));
    EXPECT_EQ(properties["SubjectDN"], "");
    EXPECT_EQ(properties["SubjectAltName"], "nobody@tavrenic.test");
    EXPECT_EQ(properties["IssuerDN"], certificate.GetIssuerDN());
    EXPECT_EQ(properties["SignatureDigestAlgorithm"], "sha256");
    EXPECT_EQ(properties["FingerPrint"], certificate.GetThumbprint());
}

TEST(CertificateFieldEdgeTest, OcspLocationsThatAreNoUriAreSkipped)
{
    const std::string url = TestPki::kOcspUrl;
    const PkiItem mixed =
        Issue("/CN=Mixed OCSP locations",
              {{"authorityInfoAccess", "OCSP;DNS:ocsp.tavrenic.test,OCSP;URI:" + url + ",OCSP;email:ocsp@tavrenic.test"}});
    LogCapture capture(TvrX509::SetLogger);
    EXPECT_EQ(X509Certificate(mixed.Cert()).GetOCSPUrls(), std::set<std::string>{url});
    EXPECT_EQ(LogCapture::Lines(capture.warn),
              (std::vector<std::string>{"Skipping OCSP location that is not a URI, general name type: 2",
                                        "Skipping OCSP location that is not a URI, general name type: 1"}));
}

// RSASSA-PSS carries its digest in the parameters (SHA-1 when they leave it out); EdDSA has
// none of its own. Either way the description is complete.
TEST(CertificateFieldEdgeTest, PssAndEdDsaSignaturesAreDescribed)
{
    struct Case {
        const char* name;
        const char* options;
        const char* digest;
    };
    const Case cases[] = {
        {"pss-sha384", "-newkey rsa:2048 -sha384 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:48", "sha384"},
        {"pss-sha1", "-newkey rsa:2048 -sha1 -sigopt rsa_padding_mode:pss", "sha1"},
        {"pss-key", "-newkey rsa-pss -pkeyopt rsa_keygen_bits:2048 -sha512", "sha512"},
        {"ed25519", "-newkey ed25519", ""},
        {"ed448", "-newkey ed448", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        X509Certificate certificate = FromCommandLine(c.name, c.options);
        LogCapture capture(TvrX509::SetLogger);
        EXPECT_EQ(certificate.GetSignatureDigestAlgorithm(), c.digest);
        std::map<std::string, std::string> properties;
        ASSERT_NO_THROW(properties = Describe(certificate));
        EXPECT_EQ(properties["SignatureDigestAlgorithm"], c.digest);
        EXPECT_EQ(properties["SubjectDN"], std::string("CN=") + c.name);
        EXPECT_EQ(capture.error.str().find("Unidentified signature digest algorithm!"), std::string::npos);
    }
    // A signature algorithm OpenSSL has no digest for is still an error.
    PkiItem odd = Issue("/CN=Odd algorithm", {});
    X509_ALGOR* algorithm = nullptr;
    X509_get0_signature(nullptr, const_cast<const X509_ALGOR**>(&algorithm), odd.Cert());
    X509_ALGOR_set0(algorithm, OBJ_txt2obj("1.3.6.1.4.1.99999.5.5", 1), V_ASN1_NULL, nullptr);
    EXPECT_EQ(CodeOf([&] { X509Certificate(odd.Cert()).GetSignatureDigestAlgorithm(); }), 1);
}

// Month 13 or day 99 is no instant: every reader of the time refuses it with code 4, as the
// validity check always did, instead of rolling it over into a real date.
TEST(CertificateFieldEdgeTest, ImpossibleTimesAreRefusedEverywhere)
{
    const TestPki& pki = TestPki::Get();
    struct Case {
        const char* name;
        bool notBefore;
        const char* text;
        int type;
    };
    const Case cases[] = {
        {"notBefore month 13", true, "261315120000Z", V_ASN1_UTCTIME},
        {"notAfter day 99", false, "20270199120000Z", V_ASN1_GENERALIZEDTIME},
        {"notAfter 31 April", false, "270431120000Z", V_ASN1_UTCTIME},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PkiItem item = Issue("/CN=Bad time", {});
        ASN1_TIME* time = c.notBefore ? X509_getm_notBefore(item.Cert()) : X509_getm_notAfter(item.Cert());
        ASSERT_TRUE(ASN1_STRING_set(time, c.text, -1));
        time->type = c.type;
        ASSERT_GT(X509_sign(item.Cert(), pki.Intermediate().Key(), EVP_sha256()), 0);
        std::string text = CertTest::Run("openssl x509 -noout -dates 2>&1 <<'EOF'\n" + item.Pem() + "EOF\n");
        EXPECT_NE(text.find("Bad time value"), std::string::npos) << text;

        X509Certificate certificate(item.Cert());
        EXPECT_EQ(CodeOf([&] { c.notBefore ? certificate.GetNotBefore() : certificate.GetNotAfter(); }), 4);
        EXPECT_EQ(CodeOf([&] { certificate.CheckValidityPeriod(At(1780315200), 0); }), 4);
        EXPECT_EQ(CodeOf([&] { certificate.IsValidAt(At(1780315200), 0); }), 4);
        EXPECT_EQ(CodeOf([&] { Describe(certificate); }), 4);
    }
}

TEST(CertificateFieldEdgeTest, ImpossiblePrivateKeyUsagePeriodIsMalformed)
{
    // SEQUENCE { [0] IMPLICIT GeneralizedTime "20261399120000Z" }
    const std::string time = "20261399120000Z";
    std::vector<unsigned char> value = TvrTest::DerTlv(0x30, TvrTest::DerTlv(0x80, {time.begin(), time.end()}));
    X509Certificate certificate(Issue("/CN=Bad key usage period", {{"2.5.29.16", "DER:" + TvrTest::Hex(value)}}).Cert());
    std::unique_ptr<TvrCommon::Date> notBefore;
    std::unique_ptr<TvrCommon::Date> notAfter;
    LogCapture capture(TvrX509::SetLogger);
    EXPECT_FALSE(certificate.GetPrivateKeyUsagePeriod(notBefore, notAfter));
    EXPECT_FALSE(notBefore);
    // Rolled over, the period would have begun in 2027; it is refused at any instant.
    EXPECT_FALSE(certificate.CheckPrivateKeyUsagePeriod(At(1830297600), 0));  // 2028-01-01
    EXPECT_NE(capture.error.str().find("Bad time value in PrivateKeyUsagePeriod."), std::string::npos);
}
