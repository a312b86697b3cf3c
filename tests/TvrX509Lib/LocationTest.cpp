#include "ASN1Exception.h"
#include "AuthInfoAccess.h"
#include "CRLDistributionPoints.h"
#include "CertTestUtil.h"
#include "CertificatePolicies.h"
#include "LogCapture.h"
#include "TestPki.h"
#include "X509GeneralName.h"
#include "X509GeneralNameImpl.h"
#include "X509LibLogger.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <functional>
#include <memory>

using TvrASN1::DERBytes;
using namespace TvrX509;
using CertTest::CodeOf;
using CertTest::Der;

namespace {

DERBytes ValueOf(const TvrTest::PkiItem& item, int nid)
{
    return CertTest::ExtensionValue(item, nid).first;
}

std::vector<unsigned char> Cat(std::vector<unsigned char> a, const std::vector<unsigned char>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<unsigned char> Ia5(unsigned char tag, const std::string& text)
{
    return TvrTest::DerTlv(tag, std::vector<unsigned char>(text.begin(), text.end()));
}

} // namespace

TEST(GeneralNameTest, AlternativeNamesOfACertificate)
{
    auto names = X509GeneralNameImpl::ParseGeneralNames(
        ValueOf(TvrTest::TestPki::Get().SigningLeaf(), NID_subject_alt_name));
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].GetType(), 1);
    EXPECT_EQ(names[0].GetText(), "arvizturo@tavrenic.test");
    EXPECT_EQ(names[1].GetType(), 2);
    EXPECT_EQ(CodeOf([&] { names[1].GetText(); }), 2);
    EXPECT_FALSE(names[0].GetDirectoryName().present);
    EXPECT_EQ(CodeOf([] { X509GeneralNameImpl::ParseGeneralNames(Der({0x04, 0x00})); }), 1);
}

TEST(GeneralNameTest, BuiltFromText)
{
    struct Case {
        std::string text;
        int type;
        int format;
        int code;           // 0: builds
        std::string shown;  // GetText of the built name
    } cases[] = {
        {"http://ocsp.tavrenic.test/", 6, 0, 0, "http://ocsp.tavrenic.test/"},
        {"http://x.test/", 6, 99, 0, "http://x.test/"},
        {"/C=HU/CN=Árvíztűrő", 4, 1, 0, "CN=Árvíztűrő,C=HU"},
        {"CN=Name", 4, 1, 4, ""},
        {"/C=HU/CN=Name", 4, 0, 2, ""},
        {"example.test", 2, 0, 2, ""},
        {"a@b.test", 1, 0, 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture capture(TvrX509::SetLogger);
        if (c.code != 0) {
            EXPECT_EQ(CodeOf([&] { X509GeneralName(c.text, c.type, c.format); }), c.code);
            if (c.code == 4) {
                EXPECT_EQ(capture.debug.str(), "unable to parse DN: " + c.text + "\n");
            }
            continue;
        }
        X509GeneralName name(c.text, c.type, c.format);
        EXPECT_EQ(name.GetType(), c.type);
        EXPECT_EQ(name.GetText(), c.shown);
        X509GeneralName decoded(*name.GetDER());
        EXPECT_EQ(decoded.GetText(), c.shown);
        OptionalX509Name directory = decoded.GetDirectoryName();
        EXPECT_EQ(directory.present, c.type == 4);
        if (directory.present) {
            EXPECT_EQ(directory.name.GetOneLine(), c.shown);
        }
    }
    X509GeneralName empty;
    EXPECT_EQ(CodeOf([&] { empty.GetType(); }), 1);
    EXPECT_EQ(CodeOf([&] { empty.GetText(); }), 2);
}

TEST(LocationTest, AuthorityInfoAccessInOrder)
{
    const auto& pki = TvrTest::TestPki::Get();
    std::unique_ptr<X509Extension> ext(
        X509Extension::Create("1.3.6.1.5.5.7.1.1", ValueOf(pki.EncryptionLeaf(), NID_info_access), false));
    auto* aia = dynamic_cast<AuthInfoAccess*>(ext.get());
    ASSERT_NE(aia, nullptr);
    AuthInfoAccess copy(*aia);
    ext.reset();
    auto descriptions = copy.GetAccessDescriptions();
    ASSERT_EQ(descriptions.size(), 2u);
    EXPECT_EQ(descriptions[0].GetMethod(), "1.3.6.1.5.5.7.48.1");
    EXPECT_EQ(descriptions[0].GetLocation().GetType(), 6);
    EXPECT_EQ(descriptions[0].GetLocation().GetText(), TvrTest::TestPki::kOcspUrl);
    EXPECT_EQ(descriptions[1].GetMethod(), "1.3.6.1.5.5.7.48.2");
    EXPECT_EQ(descriptions[1].GetLocation().GetText(), TvrTest::TestPki::kIntermediateUrl);

    auto signing = AuthInfoAccess(ValueOf(pki.SigningLeaf(), NID_info_access), false).GetAccessDescriptions();
    std::vector<std::string> texts;
    for (const auto& d : signing)
        texts.push_back(d.GetLocation().GetText());
    EXPECT_EQ(texts, (std::vector<std::string>{TvrTest::TestPki::kOcspUrl2, TvrTest::TestPki::kOcspUrl,
                                               TvrTest::TestPki::kIntermediateUrl}));
}

TEST(LocationTest, AuthorityInfoAccessFromConfiguration)
{
    AuthInfoAccess built("OCSP;URI:http://ocsp.test/,caIssuers;URI:http://ca.test/ca.der");
    EXPECT_EQ(built.GetOID(), "1.3.6.1.5.5.7.1.1");
    EXPECT_FALSE(built.IsCritical());
    auto descriptions = built.GetAccessDescriptions();
    ASSERT_EQ(descriptions.size(), 2u);
    EXPECT_EQ(descriptions[1].GetLocation().GetText(), "http://ca.test/ca.der");
    // The extension's value is the DER of what was built: decoding it gives the same.
    AuthInfoAccess reread(*built.GetValue(), false);
    auto again = reread.GetAccessDescriptions();
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0].GetMethod(), "1.3.6.1.5.5.7.48.1");
    EXPECT_EQ(again[0].GetLocation().GetText(), "http://ocsp.test/");
    // A copy's value is written through its own link.
    AuthInfoAccess copy(built);
    EXPECT_EQ(*copy.GetValue(), *built.GetValue());

    EXPECT_EQ(CodeOf([] { static_cast<void>(AuthInfoAccess(std::string())); }), 4);
    EXPECT_TRUE(AuthInfoAccess().GetAccessDescriptions().empty());

    AccessDescription description("1.3.6.1.5.5.7.48.2", X509GeneralName("http://ca.test/", 6, 0));
    EXPECT_EQ(description.GetMethod(), "1.3.6.1.5.5.7.48.2");
    EXPECT_EQ(description.GetLocation().GetText(), "http://ca.test/");
    EXPECT_EQ(CodeOf([] { AccessDescription("1.2.3.4.5.6.7.8", X509GeneralName("http://x/", 6, 0)); }), 4);
}

TEST(LocationTest, DistributionPointsGiveTheFirstFullName)
{
    CRLDistributionPoints fromCertificate(ValueOf(TvrTest::TestPki::Get().SigningLeaf(),
                                                  NID_crl_distribution_points), false);
    ASSERT_EQ(fromCertificate.GetCount(), 1);
    auto points = fromCertificate.GetDistributionPoints();
    ASSERT_EQ(points.size(), 1u);
    std::unique_ptr<X509GeneralName> full = points[0].GetFullName();
    ASSERT_TRUE(full);
    EXPECT_EQ(full->GetText(), TvrTest::TestPki::kCrlUrl);

    // Two points: one naming only reasons, one nameRelativeToCRLIssuer.
    std::vector<unsigned char> reasonsOnly = TvrTest::DerTlv(0x30, {0x81, 0x02, 0x05, 0x60});
    std::vector<unsigned char> relative = TvrTest::DerTlv(
        0x30, TvrTest::DerTlv(0xA0, TvrTest::DerTlv(0xA1, TvrTest::DerTlv(
                                                          0x30, Cat(TvrTest::DerOid("2.5.4.3"),
                                                                    Ia5(0x0C, "crl"))))));
    CRLDistributionPoints odd(Der(TvrTest::DerTlv(0x30, Cat(reasonsOnly, relative))), false);
    ASSERT_EQ(odd.GetCount(), 2);
    for (const auto& point : odd.GetDistributionPoints())
        EXPECT_FALSE(point.GetFullName());
    EXPECT_EQ(CRLDistributionPoints().GetCount(), 0);
}

TEST(LocationTest, PoliciesInOrder)
{
    CertificatePolicies policies(ValueOf(TvrTest::TestPki::Get().SigningLeaf(), NID_certificate_policies), false);
    CertificatePolicies copy;
    copy = policies;
    std::vector<std::string> ids;
    for (const auto& policy : copy.GetPolicies())
        ids.push_back(policy.GetPolicyId());
    EXPECT_EQ(ids, (std::vector<std::string>{TvrTest::TestPki::kPolicyOid, TvrTest::TestPki::kPolicyOid2}));
    EXPECT_TRUE(CertificatePolicies().GetPolicies().empty());
}

// Every class that decodes DER refuses malformed bytes with ASN1Exception(1).
TEST(LocationTest, MalformedDerIsRefused)
{
    using Make = std::function<void(const DERBytes&)>;
    const std::vector<std::pair<const char*, Make>> makers = {
        {"X509Name", [](const DERBytes& d) { X509Name n(d); }},
        {"RelativeDN", [](const DERBytes& d) { RelativeDN n(d); }},
        {"AttrValueAssertion", [](const DERBytes& d) { AttrValueAssertion n(d); }},
        {"X509GeneralName", [](const DERBytes& d) { X509GeneralName n(d); }},
        {"AuthInfoAccess", [](const DERBytes& d) { AuthInfoAccess n(d, false); }},
        {"CRLDistributionPoints", [](const DERBytes& d) { CRLDistributionPoints n(d, false); }},
        {"CertificatePolicies", [](const DERBytes& d) { CertificatePolicies n(d, false); }},
    };
    const std::vector<std::pair<const char*, DERBytes>> inputs = {
        {"empty", DERBytes()},
        {"truncated", Der({0x30, 0x10, 0x30, 0x0E})},
        {"wrong tag", Der({0x02, 0x01, 0x05})},
        {"bad length", Der({0x30, 0x84, 0xff, 0xff, 0xff, 0xff})},
    };
    for (const auto& [name, make] : makers) {
        for (const auto& [what, bytes] : inputs) {
            SCOPED_TRACE(std::string(name) + ": " + what);
            try {
                make(bytes);
                ADD_FAILURE() << "decoded";
            } catch (const TvrASN1::ASN1Exception& e) {
                EXPECT_EQ(e.GetASN1Code(), 1);
            }
        }
    }
}
