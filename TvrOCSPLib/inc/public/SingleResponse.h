#pragma once

#include "CertID.h"
#include "Date.h"
#include "X509Extension.h"

#include <ctime>
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

    // Tolerated clock difference between the responder and this host.
    static constexpr long kDefaultLeewaySeconds = 5 * 60;
    // How old an answer without nextUpdate may be. Such a responder promises nothing about
    // when newer information comes, so only a recent answer is taken as current; a week
    // keeps cached answers of responders that omit the field usable.
    static constexpr long kDefaultMaxAgeSeconds = 7 * 24 * 60 * 60;

    // Whether the answer is current at `now` (seconds since 1970, UTC): thisUpdate not
    // after now + leeway; nextUpdate, when present, not before thisUpdate and not before
    // now - leeway; without nextUpdate, thisUpdate not before now - maxAge. A missing or
    // unreadable time makes the answer stale. Nothing is thrown.
    bool IsFresh(std::time_t now, long leewaySeconds = kDefaultLeewaySeconds,
                 long maxAgeSeconds = kDefaultMaxAgeSeconds) const;

private:
    friend class SingleResponseImpl;
    SingleResponseImpl* m_impl;
};

} // namespace TvrOCSP
