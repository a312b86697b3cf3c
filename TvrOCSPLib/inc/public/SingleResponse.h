#pragma once

#include "CertID.h"
#include "Date.h"
#include "X509Extension.h"

#include <memory>
#include <vector>

namespace TvrOCSP {

class RevokedInfoImpl;
class CertStatusImpl;
class SingleResponseImpl;

// Time and reason of a revocation.
class RevokedInfo {
public:
    RevokedInfo();
    RevokedInfo(const RevokedInfo& other);
    RevokedInfo& operator=(const RevokedInfo& other);
    virtual ~RevokedInfo();

    TvrCommon::Date GetRevocationTime() const;
    // The CRLReason (RFC 5280); 0 when absent, the same as unspecified.
    int GetRevocationReason() const;

private:
    friend class RevokedInfoImpl;
    RevokedInfoImpl* m_impl;
};

// The status of one certificate.
class CertStatus {
public:
    CertStatus();
    CertStatus(const CertStatus& other);
    CertStatus& operator=(const CertStatus& other);
    virtual ~CertStatus();

    // 0 good, 1 revoked, 2 unknown.
    int GetStatus() const;
    // The revocation details for status 1; null for every other status.
    std::unique_ptr<RevokedInfo> GetRevokedInfo() const;

private:
    friend class CertStatusImpl;
    CertStatusImpl* m_impl;
};

// A responder's answer for one certificate.
class SingleResponse {
public:
    SingleResponse();
    SingleResponse(const SingleResponse& other);
    SingleResponse& operator=(const SingleResponse& other);
    virtual ~SingleResponse();

    std::unique_ptr<CertStatus> GetCertStatus() const;
    std::unique_ptr<CertID> GetCertID() const;
    // When the status was known to be correct; absent: code 1.
    TvrCommon::Date GetThisUpdate() const;
    // When newer information will be available; null when the responder gives none.
    std::unique_ptr<TvrCommon::Date> GetNextUpdate() const;
    bool HasExtensions() const;
    // Copies of the singleExtensions in order; null when there is none.
    std::unique_ptr<std::vector<TvrX509::X509Extension>> GetExtensions() const;

private:
    friend class SingleResponseImpl;
    SingleResponseImpl* m_impl;
};

} // namespace TvrOCSP
