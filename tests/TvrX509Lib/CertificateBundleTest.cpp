#include "CertTestUtil.h"
#include "ErrCodeException.h"
#include "PropertyWriter.h"
#include "X509Certificate.h"

#include <gtest/gtest.h>

#include <map>

using namespace TvrX509;

namespace {

// Takes every call and keeps nothing.
class NullWriter : public IPropertyWriter {
public:
    std::unique_ptr<IPropertyWriter> AddSection(const std::string&, const PropertyAttributes&,
                                                const SectionFormat&) override
    {
        return std::make_unique<NullWriter>();
    }
    void AddProperty(const std::string&, const PropertyValue&, const PropertyAttributes&,
                     const PropertyFormat&) override
    {
        ++properties;
    }
    int properties = 0;
};

} // namespace

// Every certificate of Debian's trust bundle goes through the byte constructor and every
// reading operation; failures may only be the library's own exceptions.
TEST(CertificateBundleTest, TheWholeTrustBundleLoads)
{
    const std::string bundle = CertTest::ReadText("/etc/ssl/certs/ca-certificates.crt");
    const std::string begin = "-----BEGIN CERTIFICATE-----";
    const std::string end = "-----END CERTIFICATE-----";
    std::map<X509Certificate, int> distinct;
    size_t count = 0;
    for (size_t at = bundle.find(begin); at != std::string::npos; at = bundle.find(begin, at + 1)) {
        size_t stop = bundle.find(end, at);
        ASSERT_NE(stop, std::string::npos);
        std::string pem = bundle.substr(at, stop + end.size() - at);
        X509Certificate certificate(reinterpret_cast<const unsigned char*>(pem.data()), static_cast<int>(pem.size()));
        ++count;
        SCOPED_TRACE(certificate.GetSubjectDN());
        EXPECT_EQ(certificate.GetThumbprint().size(), 40u);
        EXPECT_TRUE(certificate.IsCA());
        EXPECT_EQ(X509Certificate(CertTest::Bytes(certificate.GetBase64())), certificate);
        try {
            NullWriter writer;
            certificate.DumpProperties(writer);
            EXPECT_GE(writer.properties, 8);
        } catch (const TvrCommon::ErrCodeException& e) {
            ADD_FAILURE() << "code " << e.GetCode();
        }
        certificate.GetSubjectCN();
        certificate.GetIssuerCN();
        certificate.GetCAIssuerURLs();
        certificate.GetOCSPUrls();
        certificate.CheckKeyUsageConsistency();
        certificate.CheckKeyUsage(8, false, false);
        certificate.IsSelfIssuedCA();
        certificate.GetSubjectKeyIdentifierHex();
        certificate.GetAuthorityKeyIdentifierHex();
        certificate.GetPublicKeyBytes();
        certificate.IsValidAt(CertTest::At(1767225600), 0);
        distinct[certificate]++;
    }
    EXPECT_GT(count, 50u);
    EXPECT_EQ(distinct.size(), count);
}
