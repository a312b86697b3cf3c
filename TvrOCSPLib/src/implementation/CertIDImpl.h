#pragma once

#include "CertID.h"
#include "OpenSSLBase.h"

#include <openssl/ocsp.h>

#include <memory>
#include <string>

namespace TvrOCSP {

class CertIDImpl : public TvrASN1::OpenSSLBase<OCSP_CERTID> {
public:
    CertIDImpl();
    CertIDImpl(const CertIDImpl& other) = default;
    CertIDImpl& operator=(const CertIDImpl& other) = default;
    virtual ~CertIDImpl() = default;

    static CertIDImpl& Of(const CertID& id);

    // A new identifier the caller owns. Unknown digest: code 1; not created: code 3 (code 8
    // while the calling thread's flag 2 is set).
    static OCSP_CERTID* MakeId(const std::string& digestName,
                               const TvrX509::X509Certificate& certificate,
                               const TvrX509::X509Certificate& issuer);
    // Replaces the held identifier by a new one (MakeId).
    void Create(const std::string& digestName, const TvrX509::X509Certificate& certificate,
                const TvrX509::X509Certificate& issuer);

    std::unique_ptr<TvrCommon::BigInt> GetSerialNumber() const;
    std::unique_ptr<std::string> GetHashAlgorithm() const;
    std::string GetIssuerNameHash() const;
    std::string GetIssuerKeyHash() const;
    bool Equals(const CertIDImpl& other) const;
};

} // namespace TvrOCSP
