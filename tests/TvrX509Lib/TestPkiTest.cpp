// The shared test PKI itself: what later certificate and OCSP tests rely on.
#include "TestPki.h"

#include <gtest/gtest.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

// X509_verify_cert against the PKI's root, with the intermediate untrusted.
int Verify(const PkiItem& leaf, const std::vector<const PkiItem*>& untrusted, const PkiItem& root)
{
    std::unique_ptr<X509_STORE, void (*)(X509_STORE*)> store(X509_STORE_new(), X509_STORE_free);
    X509_STORE_add_cert(store.get(), root.Cert());
    STACK_OF(X509)* chain = sk_X509_new_null();
    for (const PkiItem* item : untrusted)
        sk_X509_push(chain, item->Cert());
    std::unique_ptr<X509_STORE_CTX, void (*)(X509_STORE_CTX*)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    X509_STORE_CTX_init(ctx.get(), store.get(), leaf.Cert(), chain);
    int ok = X509_verify_cert(ctx.get());
    int error = X509_STORE_CTX_get_error(ctx.get());
    sk_X509_free(chain);
    return ok == 1 ? 0 : error;
}

bool HasEku(const PkiItem& item, uint32_t bit)
{
    return (X509_get_extension_flags(item.Cert()) & EXFLAG_XKUSAGE) && (X509_get_extended_key_usage(item.Cert()) & bit);
}

} // namespace

TEST(TestPkiTest, ChainsVerifyAndTheShapesAreAsDocumented)
{
    const TestPki& pki = TestPki::Get();
    for (const PkiItem* leaf : {&pki.OcspSigner(), &pki.TlsServer(), &pki.SigningLeaf(), &pki.EncryptionLeaf(),
                                &pki.NoKeyUsageLeaf(), &pki.QualifiedLeaf(), &pki.RevokedLeaf(), &pki.OnHoldLeaf()}) {
        SCOPED_TRACE(leaf->name);
        EXPECT_EQ(Verify(*leaf, {&pki.Intermediate()}, pki.Root()), 0);
        EXPECT_TRUE(std::filesystem::exists(leaf->pemPath));
        EXPECT_TRUE(std::filesystem::exists(leaf->keyPath));
        EXPECT_EQ(X509_check_private_key(leaf->Cert(), leaf->Key()), 1);
    }
    EXPECT_EQ(Verify(pki.ExpiredLeaf(), {&pki.Intermediate()}, pki.Root()), X509_V_ERR_CERT_HAS_EXPIRED);
    EXPECT_LT(pki.ExpiredLeaf().NotAfter(), std::time(nullptr));
    EXPECT_TRUE(HasEku(pki.OcspSigner(), XKU_OCSP_SIGN));
    EXPECT_FALSE(X509_get_extension_flags(pki.NoKeyUsageLeaf().Cert()) & EXFLAG_KUSAGE);
    EXPECT_GE(X509_get_ext_by_NID(pki.QualifiedLeaf().Cert(), NID_qcStatements, -1), 0);
    EXPECT_GE(X509_get_ext_by_NID(pki.Intermediate().Cert(), NID_info_access, -1), 0);
    EXPECT_NE(X509_check_ca(pki.Intermediate().Cert()), 0);
    EXPECT_EQ(X509_check_ca(pki.SigningLeaf().Cert()), 0);
}

TEST(TestPkiTest, CrlAndOcspIndexListTheRevokedLeaves)
{
    const TestPki& pki = TestPki::Get();
    std::vector<unsigned char> der = pki.CrlDer();
    const unsigned char* p = der.data();
    std::unique_ptr<X509_CRL, void (*)(X509_CRL*)> crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size())),
                                                       X509_CRL_free);
    ASSERT_TRUE(crl);
    EXPECT_EQ(X509_CRL_verify(crl.get(), X509_get0_pubkey(pki.Intermediate().Cert())), 1);
    X509_REVOKED* entry = nullptr;
    EXPECT_EQ(X509_CRL_get0_by_cert(crl.get(), &entry, pki.RevokedLeaf().Cert()), 1);
    EXPECT_EQ(X509_CRL_get0_by_cert(crl.get(), &entry, pki.OnHoldLeaf().Cert()), 1);
    EXPECT_EQ(X509_CRL_get0_by_cert(crl.get(), &entry, pki.SigningLeaf().Cert()), 0);

    std::ifstream index(pki.IndexTxtPath());
    std::string line;
    int valid = 0, revoked = 0;
    while (std::getline(index, line)) {
        (line[0] == 'R' ? revoked : valid)++;
        if (line.find(pki.OnHoldLeaf().SerialHex()) != std::string::npos) {
            EXPECT_NE(line.find(",certificateHold,"), std::string::npos);
        }
    }
    EXPECT_EQ(revoked, 2);
    EXPECT_EQ(valid, 7);
}

TEST(TestPkiTest, PfxFilesOpenWithTheirPasswords)
{
    const TestPki& pki = TestPki::Get();
    struct Case {
        std::string path;
        const char* password;
        bool withCertificate;
    } cases[] = {
        {pki.PfxModernPath(), TestPki::kPfxPassword, true},
        {pki.PfxLegacyPath(), TestPki::kPfxPassword, true},
        {pki.PfxEmptyPasswordPath(), "", true},
        {pki.PfxKeyOnlyPath(), TestPki::kPfxPassword, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(c.path.c_str(), "rb"), fclose);
        ASSERT_TRUE(file);
        std::unique_ptr<PKCS12, void (*)(PKCS12*)> p12(d2i_PKCS12_fp(file.get(), nullptr), PKCS12_free);
        ASSERT_TRUE(p12);
        EXPECT_EQ(PKCS12_verify_mac(p12.get(), "wrong", -1), 0);
        EVP_PKEY* key = nullptr;
        X509* cert = nullptr;
        ASSERT_EQ(PKCS12_parse(p12.get(), c.password, &key, &cert, nullptr), 1);
        EXPECT_NE(key, nullptr);
        EXPECT_EQ(cert != nullptr, c.withCertificate);
        if (cert) {
            EXPECT_EQ(X509_cmp(cert, pki.SigningLeaf().Cert()), 0);
        }
        X509_free(cert);
        EVP_PKEY_free(key);
    }
}

TEST(TestPkiTest, BuilderMakesCrossCertificatesAndBrokenShapes)
{
    const TestPki& pki = TestPki::Get();
    CertSpec otherRootSpec;
    otherRootSpec.subject = "/C=HU/O=Tavrenic Test/CN=Other Root";
    otherRootSpec.ca = true;
    PkiItem otherRoot = CertBuilder::Issue(otherRootSpec, nullptr);

    // The intermediate's key and name, certified by the other root.
    CertSpec crossSpec;
    crossSpec.subject = "/C=HU/O=Tavrenic Test/OU=Issuing/CN=Tavrenic Test Intermediate CA";
    crossSpec.ca = true;
    PkiItem cross = CertBuilder::Issue(crossSpec, &otherRoot, pki.Intermediate().Key());
    EXPECT_EQ(Verify(pki.SigningLeaf(), {&cross}, otherRoot), 0);
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(cross.Cert()), X509_get_subject_name(pki.Intermediate().Cert())), 0);

    CertSpec broken;
    broken.subject = "/CN=Broken";
    broken.breakSignature = true;
    PkiItem brokenLeaf = CertBuilder::Issue(broken, &pki.Intermediate());
    EXPECT_EQ(Verify(brokenLeaf, {&pki.Intermediate()}, pki.Root()), X509_V_ERR_CERT_SIGNATURE_FAILURE);

    CertSpec mismatch;
    mismatch.subject = "/CN=Mismatch";
    mismatch.overrideAuthorityKeyIdHex = "0102030405060708090A0B0C0D0E0F1011121314";
    PkiItem mismatched = CertBuilder::Issue(mismatch, &pki.Intermediate());
    const ASN1_OCTET_STRING* akid = X509_get0_authority_key_id(mismatched.Cert());
    ASSERT_NE(akid, nullptr);
    EXPECT_NE(ASN1_OCTET_STRING_cmp(akid, X509_get0_subject_key_id(pki.Intermediate().Cert())), 0);

    CertSpec rsa;
    rsa.subject = "/CN=RSA";
    rsa.keyType = "rsa";
    PkiItem rsaLeaf = CertBuilder::Issue(rsa, &pki.Intermediate());
    EXPECT_EQ(EVP_PKEY_get_base_id(X509_get0_pubkey(rsaLeaf.Cert())), EVP_PKEY_RSA);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(rsaLeaf.Cert())), 2048);
}
