#include "ASN1Exception.h"
#include "AuthInfoAccess.h"
#include "CRLDistributionPoints.h"
#include "CertTestUtil.h"
#include "CertificatePolicies.h"
#include "ExtendedKeyUsage.h"
#include "KeyUsage.h"
#include "X509Name.h"
#include "X509NameImpl.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

using TvrASN1::DERBytes;
using namespace TvrX509;
using CertTest::NameDer;

namespace {

const char* const kCertDir = "/etc/ssl/certs";

// subject and issuer one-line texts of every file, as OpenSSL's command line prints them.
std::map<std::string, std::pair<std::string, std::string>> CommandLineNames()
{
    std::string command = std::string("for f in ") + kCertDir +
                          "/*.pem; do echo \"FILE $f\"; openssl x509 -in \"$f\" -noout -subject "
                          "-issuer -nameopt RFC2253,-esc_msb; done";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::map<std::string, std::pair<std::string, std::string>> names;
    std::string current;
    char buffer[8192];
    while (pipe && fgets(buffer, sizeof(buffer), pipe.get())) {
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        if (line.rfind("FILE ", 0) == 0)
            current = line.substr(5);
        else if (line.rfind("subject=", 0) == 0)
            names[current].first = line.substr(8);
        else if (line.rfind("issuer=", 0) == 0)
            names[current].second = line.substr(7);
    }
    return names;
}

// Reads every extension through the factory and exercises its typed interface.
void ReadExtensions(X509* cert)
{
    for (int i = 0; i < X509_get_ext_count(cert); ++i) {
        X509_EXTENSION* raw = X509_get_ext(cert, i);
        char oid[128] = {};
        OBJ_obj2txt(oid, sizeof(oid), X509_EXTENSION_get_object(raw), 1);
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(raw);
        DERBytes value(ASN1_STRING_get0_data(data), static_cast<size_t>(ASN1_STRING_length(data)));
        std::unique_ptr<X509Extension> ext(
            X509Extension::Create(oid, value, X509_EXTENSION_get_critical(raw) > 0));
        EXPECT_EQ(ext->GetOID(), oid);
        EXPECT_EQ(*ext->GetValue(), value);
        if (auto* keyUsage = dynamic_cast<KeyUsage*>(ext.get())) {
            uint32_t flags = 0;
            keyUsage->GetFlags(flags);
            ASSERT_TRUE(X509_get_extension_flags(cert) & EXFLAG_KUSAGE);
            uint32_t openssl = X509_get_key_usage(cert) & 0xff;  // digitalSignature is 0x80 there
            uint32_t reversed = 0;
            for (int bit = 0; bit < 8; ++bit)
                if (openssl & (0x80u >> bit))
                    reversed |= 1u << bit;
            EXPECT_EQ(flags, reversed) << oid;
            KeyUsage::Check(0x06, 0x04, *keyUsage);
        } else if (auto* eku = dynamic_cast<ExtendedKeyUsage*>(ext.get())) {
            EXPECT_EQ(static_cast<int>(eku->GetOIDs()->size()), eku->GetCount());
        } else if (auto* aia = dynamic_cast<AuthInfoAccess*>(ext.get())) {
            for (const auto& description : aia->GetAccessDescriptions()) {
                EXPECT_FALSE(description.GetMethod().empty());
                X509GeneralName location = description.GetLocation();
                if (location.GetType() == 6) {
                    EXPECT_FALSE(location.GetText().empty());
                }
            }
        } else if (auto* points = dynamic_cast<CRLDistributionPoints*>(ext.get())) {
            for (const auto& point : points->GetDistributionPoints())
                if (auto name = point.GetFullName(); name && name->GetType() == 6) {
                    EXPECT_FALSE(name->GetText().empty());
                }
        } else if (auto* policies = dynamic_cast<CertificatePolicies*>(ext.get())) {
            for (const auto& policy : policies->GetPolicies())
                EXPECT_FALSE(policy.GetPolicyId().empty());
        }
    }
}

} // namespace

// Debian's trust bundle: every certificate's names print exactly as OpenSSL's command
// line prints them, split into RDNs, and its extensions read through the factory.
TEST(CaBundleTest, EveryCertificateParsesPrintsAndReadsItsExtensions)
{
    auto expected = CommandLineNames();
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kCertDir)) {
        std::string path = entry.path().string();
        if (entry.path().extension() != ".pem")
            continue;
        SCOPED_TRACE(path);
        std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "r"), fclose);
        ASSERT_TRUE(file);
        std::unique_ptr<X509, void (*)(X509*)> cert(PEM_read_X509(file.get(), nullptr, nullptr, nullptr),
                                                    X509_free);
        ASSERT_TRUE(cert);
        ++count;
        X509Name subject(NameDer(X509_get_subject_name(cert.get())));
        X509Name issuer(NameDer(X509_get_issuer_name(cert.get())));
        ASSERT_TRUE(expected.count(path));
        EXPECT_EQ(subject.GetOneLine(), expected[path].first);
        EXPECT_EQ(issuer.GetOneLine(), expected[path].second);
        EXPECT_EQ(X509NameImpl::GetOneLine(X509_get_subject_name(cert.get())), expected[path].first);
        size_t attributes = 0;
        for (const auto& rdn : subject.GetRDNs())
            attributes += rdn.GetAttributes().size();
        EXPECT_EQ(attributes, static_cast<size_t>(X509_NAME_entry_count(X509_get_subject_name(cert.get()))));
        X509NameImpl::GetEntryByNID(X509_get_subject_name(cert.get()), NID_commonName);
        if (X509_check_issued(cert.get(), cert.get()) == X509_V_OK) {
            EXPECT_TRUE(subject == issuer);
        }
        ReadExtensions(cert.get());
    }
    EXPECT_GT(count, 50u);
}
