#include "SingleResponse.h"

#include "SingleResponseImpl.h"

namespace TvrOCSP {

// ---- RevokedInfo ----

RevokedInfo::RevokedInfo() : m_impl(new RevokedInfoImpl()) {}

RevokedInfo::RevokedInfo(const RevokedInfo& other) : m_impl(new RevokedInfoImpl(*other.m_impl)) {}

RevokedInfo& RevokedInfo::operator=(const RevokedInfo& other)
{
    if (this != &other)
        *m_impl = *other.m_impl;
    return *this;
}

RevokedInfo::~RevokedInfo()
{
    delete m_impl;
}

TvrCommon::Date RevokedInfo::GetRevocationTime() const { return m_impl->GetRevocationTime(); }
int RevokedInfo::GetRevocationReason() const { return m_impl->GetRevocationReason(); }

// ---- CertStatus ----

CertStatus::CertStatus() : m_impl(new CertStatusImpl()) {}

CertStatus::CertStatus(const CertStatus& other) : m_impl(new CertStatusImpl(*other.m_impl)) {}

CertStatus& CertStatus::operator=(const CertStatus& other)
{
    if (this != &other)
        *m_impl = *other.m_impl;
    return *this;
}

CertStatus::~CertStatus()
{
    delete m_impl;
}

int CertStatus::GetStatus() const { return m_impl->GetStatus(); }
std::unique_ptr<RevokedInfo> CertStatus::GetRevokedInfo() const { return m_impl->GetRevokedInfo(); }

// ---- SingleResponse ----

SingleResponse::SingleResponse() : m_impl(new SingleResponseImpl()) {}

SingleResponse::SingleResponse(const SingleResponse& other)
    : m_impl(new SingleResponseImpl(*other.m_impl))
{
}

SingleResponse& SingleResponse::operator=(const SingleResponse& other)
{
    if (this != &other)
        *m_impl = *other.m_impl;
    return *this;
}

SingleResponse::~SingleResponse()
{
    delete m_impl;
}

std::unique_ptr<CertStatus> SingleResponse::GetCertStatus() const { return m_impl->GetCertStatus(); }
std::unique_ptr<CertID> SingleResponse::GetCertID() const { return m_impl->GetCertID(); }
TvrCommon::Date SingleResponse::GetThisUpdate() const { return m_impl->GetThisUpdate(); }
std::unique_ptr<TvrCommon::Date> SingleResponse::GetNextUpdate() const { return m_impl->GetNextUpdate(); }
bool SingleResponse::HasExtensions() const { return m_impl->HasExtensions(); }

bool SingleResponse::IsFresh(std::time_t now, long leewaySeconds, long maxAgeSeconds) const
{
    return m_impl->IsFresh(now, leewaySeconds, maxAgeSeconds);
}

std::unique_ptr<std::vector<TvrX509::X509Extension>> SingleResponse::GetExtensions() const
{
    return m_impl->GetExtensions();
}

} // namespace TvrOCSP
