#pragma once

#include "OpenSSLBase.h"
#include "SingleResponse.h"

#include <openssl/ocsp.h>

#include <ctime>
#include <memory>
#include <vector>

namespace TvrOCSP {

class RevokedInfoImpl : public TvrASN1::OpenSSLBase<OCSP_REVOKEDINFO> {
public:
    RevokedInfoImpl();
    RevokedInfoImpl(const RevokedInfoImpl& other) = default;
    RevokedInfoImpl& operator=(const RevokedInfoImpl& other) = default;
    virtual ~RevokedInfoImpl() = default;

    static RevokedInfoImpl& Of(const RevokedInfo& info);
    TvrCommon::Date GetRevocationTime() const;
    int GetRevocationReason() const;
};

class CertStatusImpl : public TvrASN1::OpenSSLBase<OCSP_CERTSTATUS> {
public:
    CertStatusImpl();
    CertStatusImpl(const CertStatusImpl& other) = default;
    CertStatusImpl& operator=(const CertStatusImpl& other) = default;
    virtual ~CertStatusImpl() = default;

    static CertStatusImpl& Of(const CertStatus& status);
    // An empty status (no choice made): code 1.
    int GetStatus() const;
    std::unique_ptr<RevokedInfo> GetRevokedInfo() const;
};

class SingleResponseImpl : public TvrASN1::OpenSSLBase<OCSP_SINGLERESP> {
public:
    SingleResponseImpl();
    SingleResponseImpl(const SingleResponseImpl& other) = default;
    SingleResponseImpl& operator=(const SingleResponseImpl& other) = default;
    virtual ~SingleResponseImpl() = default;

    static SingleResponseImpl& Of(const SingleResponse& response);
    std::unique_ptr<CertStatus> GetCertStatus() const;
    std::unique_ptr<CertID> GetCertID() const;
    TvrCommon::Date GetThisUpdate() const;
    std::unique_ptr<TvrCommon::Date> GetNextUpdate() const;
    bool HasExtensions() const;
    std::unique_ptr<std::vector<TvrX509::X509Extension>> GetExtensions() const;
    bool IsFresh(std::time_t now, long leewaySeconds, long maxAgeSeconds) const;
};

} // namespace TvrOCSP
