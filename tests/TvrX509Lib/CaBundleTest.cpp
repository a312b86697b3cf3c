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
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

using TvrASN1::DERBytes;
using namespace TvrX509;
using CertTest::NameDer;

namespace {

const char* const kCertDir = "/etc/ssl/certs";

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;

X509Ptr ReadPem(const std::string& path)
{
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "r"), fclose);
    return X509Ptr(file ? PEM_read_X509(file.get(), nullptr, nullptr, nullptr) : nullptr, X509_free);
}

std::string TrimLeft(const std::string& text)
{
    size_t start = text.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : text.substr(start);
}

// Subject and issuer one-line texts of `certificates`, in order, as OpenSSL's command line
// prints them. One `openssl cms -print` over a PKCS#7 bundle of all of them: starting the
// tool once per certificate would cost far more than the comparison itself.
std::vector<std::pair<std::string, std::string>> CommandLineNames(const std::vector<X509*>& certificates)
{
    std::unique_ptr<PKCS7, decltype(&PKCS7_free)> bundle(PKCS7_new(), PKCS7_free);
    if (!PKCS7_set_type(bundle.get(), NID_pkcs7_signed) || !PKCS7_content_new(bundle.get(), NID_pkcs7_data))
        throw std::runtime_error("PKCS#7 bundle");
    for (X509* certificate : certificates)
        if (!PKCS7_add_certificate(bundle.get(), certificate))
            throw std::runtime_error("PKCS#7 bundle: adding a certificate");
    const std::string path = TvrTest::TestPki::Get().Dir() + "/ca-bundle.p7";
    {
        std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new_file(path.c_str(), "w"), BIO_free);
        if (!out || !PEM_write_bio_PKCS7(out.get(), bundle.get()))
            throw std::runtime_error("PKCS#7 bundle: writing");
    }
    // The names come as "subject:" and "issuer:" fields of each certificate's structure,
    // printed with the name options given.
    const std::string output = CertTest::Run("openssl cms -cmsout -print -noout -inform PEM -nameopt RFC2253,-esc_msb -in '" +
                                             path + "'");
    std::vector<std::pair<std::string, std::string>> names;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::string field = TrimLeft(line);
        if (field.rfind("issuer:", 0) == 0)
            names.emplace_back("", TrimLeft(field.substr(7)));
        else if (field.rfind("subject:", 0) == 0 && !names.empty())
            names.back().first = TrimLeft(field.substr(8));
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
    std::vector<std::string> paths;
    std::vector<X509Ptr> certificates;
    for (const auto& entry : std::filesystem::directory_iterator(kCertDir)) {
        if (entry.path().extension() != ".pem")
            continue;
        paths.push_back(entry.path().string());
        certificates.push_back(ReadPem(paths.back()));
        ASSERT_TRUE(certificates.back()) << paths.back();
    }
    ASSERT_GT(certificates.size(), 50u);
    std::vector<X509*> raw;
    for (const X509Ptr& certificate : certificates)
        raw.push_back(certificate.get());
    const auto expected = CommandLineNames(raw);
    ASSERT_EQ(expected.size(), certificates.size());

    for (size_t i = 0; i < certificates.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        X509* cert = certificates[i].get();
        X509Name subject(NameDer(X509_get_subject_name(cert)));
        X509Name issuer(NameDer(X509_get_issuer_name(cert)));
        EXPECT_FALSE(expected[i].first.empty());
        EXPECT_EQ(subject.GetOneLine(), expected[i].first);
        EXPECT_EQ(issuer.GetOneLine(), expected[i].second);
        EXPECT_EQ(X509NameImpl::GetOneLine(X509_get_subject_name(cert)), expected[i].first);
        size_t attributes = 0;
        for (const auto& rdn : subject.GetRDNs())
            attributes += rdn.GetAttributes().size();
        EXPECT_EQ(attributes, static_cast<size_t>(X509_NAME_entry_count(X509_get_subject_name(cert))));
        X509NameImpl::GetEntryByNID(X509_get_subject_name(cert), NID_commonName);
        if (X509_check_issued(cert, cert) == X509_V_OK) {
            EXPECT_TRUE(subject == issuer);
        }
        ReadExtensions(cert);
    }
}
