#pragma once

#include "BigInt.h"
#include "ByteArray.h"
#include "DERBytes.h"
#include "Date.h"
#include "SecureString.h"
#include "X509Extension.h"
#include "X509Name.h"

#include <openssl/types.h>

#include <memory>
#include <set>
#include <string>

namespace TvrX509 {

class X509CertificateImpl;
class IPropertyWriter;
struct QCSummary;

// An X.509 certificate. Origin tags: 2 taken from a system store, 3 downloaded through
// AIA, 7 set by every constructor; at most one tag per class is kept (see AddTag).
class X509Certificate {
public:
    // An empty certificate.
    X509Certificate();
    // A duplicate of `x`; the caller keeps `x`.
    explicit X509Certificate(const X509* x);
    // `x` itself, one more reference to it instead of a duplicate: for a decoded certificate
    // that nobody changes any more (a certificate store's). Null: code 4.
    static X509Certificate Sharing(const X509* x);
    X509Certificate(const X509Certificate& other);
    // DER, PEM or Base64 (of DER or PEM) bytes. Null or empty input: code 4; Base64 that
    // decodes to nothing: code 7; DER or PEM that does not parse: code 4.
    X509Certificate(const unsigned char* data, int length);
    explicit X509Certificate(const TvrASN1::DERBytes& der);
    explicit X509Certificate(const TvrCommon::ByteArray& bytes);
    // A PEM, DER or PKCS#12 file (the first certificate). Unreadable file: code 5;
    // nothing parses, wrong password or no certificate in the PKCS#12: code 4.
    X509Certificate(const std::string& path, const TvrCommon::SecureString& password);
    explicit X509Certificate(const std::string& path);
    X509Certificate& operator=(const X509Certificate& other);
    virtual ~X509Certificate();

    // The typed extension of that OID (dotted or OpenSSL name), null when absent; an OID
    // OpenSSL does not know: code 1.
    virtual std::unique_ptr<X509Extension> GetExtension(const std::string& oid) const;

    // One-line RFC 2253 texts.
    std::string GetSubjectDN() const;
    std::string GetIssuerDN() const;
    // The first commonName as UTF-8, "" when there is none.
    std::string GetSubjectCN() const;
    std::string GetIssuerCN() const;
    X509Name GetSubjectName() const;
    std::unique_ptr<X509Name> GetSubject() const;
    std::unique_ptr<X509Name> GetIssuer() const;
    // `which` 1: the issuer, else the subject; the first attribute whose long type name
    // is `type`, "" when none.
    std::string GetDNAttribute(const std::string& type, int which) const;
    // The subject's emailAddress, else the first rfc822Name of the subjectAltName.
    std::string GetEmail() const;
    // A directoryName of the subjectAltName, else its first non-empty text.
    std::string GetSubjectAltName() const;
    TvrCommon::BigInt GetSerialNumber() const;
    TvrCommon::Date GetNotBefore() const;
    TvrCommon::Date GetNotAfter() const;

    // Valid when notBefore <= t + tolerance and notAfter > t - tolerance (seconds).
    bool CheckValidityPeriod(const TvrCommon::Date& t, unsigned tolerance) const;
    // The privateKeyUsagePeriod; true without the extension (both outputs null), false
    // when it is malformed.
    bool GetPrivateKeyUsagePeriod(std::unique_ptr<TvrCommon::Date>& notBefore,
                                  std::unique_ptr<TvrCommon::Date>& notAfter) const;
    bool CheckPrivateKeyUsagePeriod(const TvrCommon::Date& t, unsigned tolerance) const;
    // Both checks above.
    bool IsValidAt(const TvrCommon::Date& t, unsigned tolerance) const;

    // Raw key identifier bytes; "" when absent.
    std::string GetSubjectKeyIdentifier() const;
    std::string GetAuthorityKeyIdentifier() const;
    std::string GetSubjectKeyIdentifierHex() const;
    std::string GetAuthorityKeyIdentifierHex() const;

    std::unique_ptr<TvrASN1::DERBytes> GetDER() const;
    // Base64 of the DER encoding, 64-character lines.
    std::string GetBase64() const;
    // SHA-1 of the DER encoding, and that as 40 lower-case hex digits.
    TvrCommon::ByteArray GetDigest() const;
    std::string GetThumbprint() const;
    // i2d_PublicKey: RSAPublicKey for RSA, the point for EC.
    TvrCommon::ByteArray GetPublicKeyBytes() const;
    // SHA-1 of the DER issuer name as a number.
    TvrCommon::BigInt GetIssuerNameHash() const;
    // OpenSSL short name of the signature algorithm ("RSA-SHA256").
    std::string GetSignatureAlgorithm() const;
    // Long name of its digest ("sha256").
    std::string GetSignatureDigestAlgorithm() const;
    // "RSA (2048 bit)" for RSA keys, else the key type's PEM name ("EC").
    std::string GetSignatureKeyDescription() const;

    // keyUsage bits agree with every extendedKeyUsage purpose.
    bool CheckKeyUsageConsistency() const;
    // Key usage for a purpose kind (1 signing, 2 authentication, 4 encryption, 8, 16):
    // 0 suitable, 1 no keyUsage, 2 not suitable, 3 bits outside the allowed mask, 4 no key.
    int CheckKeyUsage(int purpose, bool flag, bool relaxed) const;

    std::set<std::string> GetCAIssuerURLs() const;
    std::set<std::string> GetOCSPUrls() const;
    bool IsCA() const;
    bool IsSelfIssuedCA() const;

    // OpenSSL's certificate order; an empty certificate sorts before every other one.
    bool operator==(const X509Certificate& other) const;
    bool operator!=(const X509Certificate& other) const;
    bool operator<(const X509Certificate& other) const;

    void AddTag(int tag);
    int GetTag() const;
    int GetUserInt() const;
    void SetUserInt(int value);

    // The qualified-certificate statements read into a summary.
    QCSummary GetQCSummary() const;

    // Describes the certificate as the section "Certificate", ending with the
    // qualified-certificate summary and conformance.
    void DumpProperties(IPropertyWriter& writer) const;

private:
    friend class X509CertificateImpl;
    X509CertificateImpl* m_impl;
};

} // namespace TvrX509
