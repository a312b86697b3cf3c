#pragma once

#include "IDigest.h"
#include "OpenSSLBase.h"
#include "X509Certificate.h"
#include "X509GeneralName.h"

#include <openssl/x509.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace TvrX509 {

class X509CertificateImpl : public TvrASN1::OpenSSLBase<X509>,
                            public TvrASN1::IDigest<X509CertificateImpl> {
public:
    // Orders tags by class (1 | 0, 2 | 3 to 6 | others); tags of one class are equivalent.
    struct TagLess {
        static int ClassOf(int tag);
        bool operator()(int a, int b) const { return ClassOf(a) < ClassOf(b); }
    };

    X509CertificateImpl();
    explicit X509CertificateImpl(const X509* x);
    X509CertificateImpl(const unsigned char* data, int length);
    X509CertificateImpl(const std::string& path, const TvrCommon::SecureString& password);
    X509CertificateImpl(const X509CertificateImpl& other) = default;
    X509CertificateImpl& operator=(const X509CertificateImpl& other) = default;
    virtual ~X509CertificateImpl() = default;

    // The implementation and the OpenSSL certificate behind a public object.
    static X509CertificateImpl& Of(const X509Certificate& certificate);
    static X509* Get(const X509Certificate& certificate);

    // X509_get_pubkey: a new reference the caller frees; null when there is no key.
    EVP_PKEY* GetPublicKey() const;
    // Dotted OIDs of the critical extensions OpenSSL does not support, in extension order.
    static std::vector<std::string> GetUnsupportedCriticalExtensions(X509* x);
    // X509_cmp, except that an empty certificate sorts before every other one.
    static int Compare(X509* a, X509* b);

    std::unique_ptr<X509Extension> GetExtension(const std::string& oid) const;
    std::string GetSubjectDN() const;
    std::string GetIssuerDN() const;
    std::string GetSubjectCN() const;
    std::string GetIssuerCN() const;
    std::unique_ptr<X509Name> GetSubject() const;
    std::unique_ptr<X509Name> GetIssuer() const;
    std::string GetDNAttribute(const std::string& type, int which) const;
    std::string GetEmail() const;
    std::string GetSubjectAltName() const;
    TvrCommon::BigInt GetSerialNumber() const;
    TvrCommon::Date GetNotBefore() const;
    TvrCommon::Date GetNotAfter() const;
    bool CheckValidityPeriod(const TvrCommon::Date& t, unsigned tolerance) const;
    bool GetPrivateKeyUsagePeriod(std::unique_ptr<TvrCommon::Date>& notBefore,
                                  std::unique_ptr<TvrCommon::Date>& notAfter) const;
    bool CheckPrivateKeyUsagePeriod(const TvrCommon::Date& t, unsigned tolerance) const;
    bool IsValidAt(const TvrCommon::Date& t, unsigned tolerance) const;
    std::string GetSubjectKeyIdentifier() const;
    std::string GetAuthorityKeyIdentifier() const;
    std::string GetBase64() const;
    TvrCommon::ByteArray GetPublicKeyBytes() const;
    TvrCommon::BigInt GetIssuerNameHash() const;
    std::string GetSignatureAlgorithm() const;
    std::string GetSignatureDigestAlgorithm() const;
    std::string GetSignatureKeyDescription() const;
    bool CheckKeyUsageConsistency() const;
    int CheckKeyUsage(int purpose, bool flag, bool relaxed) const;
    std::set<std::string> GetCAIssuerURLs() const;
    std::set<std::string> GetOCSPUrls() const;
    bool IsCA() const;
    bool IsSelfIssuedCA() const;

    int userValue = 0;
    std::set<int, TagLess> tags;

private:
    void DecodeBytes(const unsigned char* data, int length);
    void ReadFile(const std::string& path, const TvrCommon::SecureString& password);
    // The first entry of `nid` in a name; a failure is logged with `message` and raised.
    std::string ReadNameEntry(const X509_NAME* name, int nid, const char* message) const;
    std::unique_ptr<std::vector<X509GeneralName>> GetSubjectAltNames() const;
    std::string SubjectForLog() const;
};

} // namespace TvrX509
