#pragma once

#include "BigInt.h"
#include "X509Certificate.h"

#include <memory>
#include <string>

namespace TvrOCSP {

class CertIDImpl;

// The OCSP certificate identifier: hash algorithm, issuer name hash, issuer key hash and
// serial number. It ties a request entry to its single response.
class CertID {
public:
    // An empty identifier.
    CertID();
    // Identifies `certificate` issued by `issuer` with the digest named `digestName`
    // ("sha256"). A digest OpenSSL does not know: code 1; no identifier made: code 3.
    CertID(const std::string& digestName, const TvrX509::X509Certificate& certificate,
           const TvrX509::X509Certificate& issuer);
    CertID(const CertID& other);
    CertID& operator=(const CertID& other);
    virtual ~CertID();

    // The serialNumber's content bytes as an unsigned big-endian number.
    std::unique_ptr<TvrCommon::BigInt> GetSerialNumber() const;
    // OpenSSL's long name of the hash algorithm ("sha256"), "" for an OID without a name,
    // null when there is no algorithm.
    std::unique_ptr<std::string> GetHashAlgorithm() const;
    // Lower-case hex pairs joined by ':'.
    std::string GetIssuerNameHash() const;
    std::string GetIssuerKeyHash() const;

    // Same hash algorithm, issuer name hash, issuer key hash and serial number.
    bool operator==(const CertID& other) const;
    bool operator!=(const CertID& other) const;

private:
    friend class CertIDImpl;
    CertIDImpl* m_impl;
};

} // namespace TvrOCSP
