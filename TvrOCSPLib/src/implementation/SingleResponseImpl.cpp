#include "SingleResponseImpl.h"

#include "CertIDImpl.h"
#include "OCSPItemDup.h"
#include "OCSPMirror.h"
#include "OCSPLibLogger.h"
#include "OCSPUtil.h"

#include <openssl/x509.h>

#include <ostream>

namespace TvrOCSP {

namespace {
const char* const kSource = "src/SingleResponse";

// -1 when `time` is at or before `at`, 1 when after, 0 when the time is missing or
// cannot be read (bad characters, month 13, day 99 and the like).
int CompareTime(const ASN1_GENERALIZEDTIME* time, std::time_t at)
{
    return time ? X509_cmp_time(time, &at) : 0;
}
} // namespace

// ---- RevokedInfoImpl ----

RevokedInfoImpl::RevokedInfoImpl()
    : OpenSSLBase(OCSP_REVOKEDINFO_new, OCSP_REVOKEDINFO_free, DupOCSP_REVOKEDINFO,
                  d2i_OCSP_REVOKEDINFO, i2d_OCSP_REVOKEDINFO)
{
}

RevokedInfoImpl& RevokedInfoImpl::Of(const RevokedInfo& info)
{
    return *info.m_impl;
}

namespace {
MirrorPtr<REVOKEDINFO_MIRROR> RevokedMirror(const OCSP_REVOKEDINFO* info)
{
    return RequiredMirrorOf<REVOKEDINFO_MIRROR>(ASN1_ITEM_rptr(OCSP_REVOKEDINFO), info,
                                                ASN1_ITEM_rptr(REVOKEDINFO_MIRROR));
}
} // namespace

TvrCommon::Date RevokedInfoImpl::GetRevocationTime() const
{
    return DateOf(RevokedMirror(object)->revocationTime);
}

int RevokedInfoImpl::GetRevocationReason() const
{
    auto mirror = RevokedMirror(object);
    if (!mirror->revocationReason)
        return 0;
    return static_cast<int>(ASN1_ENUMERATED_get(mirror->revocationReason));
}

// ---- CertStatusImpl ----

CertStatusImpl::CertStatusImpl()
    : OpenSSLBase(OCSP_CERTSTATUS_new, OCSP_CERTSTATUS_free, DupOCSP_CERTSTATUS,
                  d2i_OCSP_CERTSTATUS, i2d_OCSP_CERTSTATUS)
{
}

CertStatusImpl& CertStatusImpl::Of(const CertStatus& status)
{
    return *status.m_impl;
}

namespace {
MirrorPtr<CERTSTATUS_MIRROR> StatusMirror(const OCSP_CERTSTATUS* status)
{
    return RequiredMirrorOf<CERTSTATUS_MIRROR>(ASN1_ITEM_rptr(OCSP_CERTSTATUS), status,
                                               ASN1_ITEM_rptr(CERTSTATUS_MIRROR));
}
} // namespace

int CertStatusImpl::GetStatus() const
{
    return StatusMirror(object)->type;
}

std::unique_ptr<RevokedInfo> CertStatusImpl::GetRevokedInfo() const
{
    auto mirror = StatusMirror(object);
    if (mirror->type != V_OCSP_CERTSTATUS_REVOKED || !mirror->value.revoked)
        return nullptr;
    auto info = std::make_unique<RevokedInfo>();
    RevokedInfoImpl::Of(*info).Set(mirror->value.revoked);
    return info;
}

// ---- SingleResponseImpl ----

SingleResponseImpl::SingleResponseImpl()
    : OpenSSLBase(OCSP_SINGLERESP_new, OCSP_SINGLERESP_free, DupOCSP_SINGLERESP,
                  d2i_OCSP_SINGLERESP, i2d_OCSP_SINGLERESP)
{
}

SingleResponseImpl& SingleResponseImpl::Of(const SingleResponse& response)
{
    return *response.m_impl;
}

std::unique_ptr<CertStatus> SingleResponseImpl::GetCertStatus() const
{
    auto mirror = MirrorOf<SINGLERESP_MIRROR>(ASN1_ITEM_rptr(OCSP_SINGLERESP), object,
                                              ASN1_ITEM_rptr(SINGLERESP_MIRROR));
    if (!mirror || !mirror->certStatus)
        return nullptr;
    auto status = std::make_unique<CertStatus>();
    CertStatusImpl::Of(*status).Set(mirror->certStatus);
    return status;
}

std::unique_ptr<CertID> SingleResponseImpl::GetCertID() const
{
    const OCSP_CERTID* id = OCSP_SINGLERESP_get0_id(object);
    if (!id)
        return nullptr;
    auto copy = std::make_unique<CertID>();
    CertIDImpl::Of(*copy).Set(id);
    return copy;
}

TvrCommon::Date SingleResponseImpl::GetThisUpdate() const
{
    ASN1_GENERALIZEDTIME* thisUpdate = nullptr;
    OCSP_single_get0_status(object, nullptr, nullptr, &thisUpdate, nullptr);
    return DateOf(thisUpdate);
}

std::unique_ptr<TvrCommon::Date> SingleResponseImpl::GetNextUpdate() const
{
    ASN1_GENERALIZEDTIME* nextUpdate = nullptr;
    OCSP_single_get0_status(object, nullptr, nullptr, nullptr, &nextUpdate);
    if (!nextUpdate)
        return nullptr;
    return std::make_unique<TvrCommon::Date>(DateOf(nextUpdate));
}

bool SingleResponseImpl::HasExtensions() const
{
    return OCSP_SINGLERESP_get_ext_count(object) > 0;
}

std::unique_ptr<std::vector<TvrX509::X509Extension>> SingleResponseImpl::GetExtensions() const
{
    return CopyExtensions(OCSP_SINGLERESP_get_ext_count(object),
                          [this](int i) { return OCSP_SINGLERESP_get_ext(object, i); });
}

bool SingleResponseImpl::IsFresh(std::time_t now, long leewaySeconds, long maxAgeSeconds) const
{
    ASN1_GENERALIZEDTIME* thisUpdate = nullptr;
    ASN1_GENERALIZEDTIME* nextUpdate = nullptr;
    OCSP_single_get0_status(object, nullptr, nullptr, &thisUpdate, &nextUpdate);
    auto stale = [](const char* why) {
        GetLogger()->Warn(kSource, __LINE__) << "OCSP answer is not current: " << why << std::endl;
        return false;
    };
    int r = CompareTime(thisUpdate, now + leewaySeconds);
    if (r == 0)
        return stale("thisUpdate is missing or unreadable");
    if (r > 0)
        return stale("thisUpdate is in the future");
    if (nextUpdate) {
        r = CompareTime(nextUpdate, now - leewaySeconds);
        if (r == 0)
            return stale("nextUpdate is unreadable");
        if (r < 0)
            return stale("nextUpdate has passed");
        if (ASN1_TIME_compare(nextUpdate, thisUpdate) < 0)
            return stale("nextUpdate is before thisUpdate");
        return true;
    }
    if (CompareTime(thisUpdate, now - maxAgeSeconds) < 0)
        return stale("no nextUpdate and thisUpdate is too old");
    return true;
}

} // namespace TvrOCSP
