#pragma once

#include "BigInt.h"
#include "DERBytes.h"
#include "Date.h"
#include "IDigest.h"
#include "OpenSSLBase.h"
#include "X509Certificate.h"
#include "X509Extension.h"
#include "X509Revoked.h"

#include <openssl/x509.h>

#include <memory>
#include <string>

namespace TvrX509 {

// A certificate revocation list. Used directly: it has no public wrapper class.
class X509CRLImpl : public TvrASN1::OpenSSLBase<X509_CRL>, public TvrASN1::IDigest<X509CRLImpl> {
public:
    // An empty CRL.
    X509CRLImpl();
    // DER only; undecodable DER raises TvrASN1::ASN1Exception.
    explicit X509CRLImpl(const TvrASN1::DERBytes& der);
    // DER, then PEM, then Base64 of DER. Null or empty input: code 4; none parses: code 7.
    X509CRLImpl(const unsigned char* data, long length);
    X509CRLImpl(const X509CRLImpl& other) = default;
    X509CRLImpl& operator=(const X509CRLImpl& other) = default;
    virtual ~X509CRLImpl();

    // 0 for a version 1 CRL.
    long GetVersion() const;
    std::string GetIssuerDN() const;
    std::string GetIssuerCN() const;
    // The cRLNumber; false (and `number` untouched) when absent.
    bool GetCRLNumber(long& number) const;
    TvrCommon::Date GetLastUpdate() const;
    // An invalid date when the CRL has no nextUpdate.
    TvrCommon::Date GetNextUpdate() const;
    int GetExtensionCount() const;
    // False when there is no extension at `index`; otherwise `out` holds a copy of it.
    bool GetExtension(int index, X509Extension& out) const;
    // The entry of that serial number, null when it is not listed.
    std::unique_ptr<X509Revoked> GetRevoked(const TvrCommon::BigInt& serial) const;
    // 0 good; 1 the signature does not verify with the issuer's key; 2 an extension is
    // missing; 3 a critical extension (none is supported).
    int VerifySignature(const X509Certificate& issuer) const;
    std::string GetSignatureDigestAlgorithm() const;
    // The signature value (for GetFingerprint: 40 upper-case hex digits of its SHA-1).
    const ASN1_BIT_STRING* GetSignatureValue() const;
    // Same object, same OpenSSL CRL, or the same issuer name (X509_CRL_cmp).
    bool operator==(const X509CRLImpl& other) const;

private:
    bool ParseDER(const unsigned char* data, long length);
    bool ParsePEM(const unsigned char* data, long length);
};

} // namespace TvrX509
