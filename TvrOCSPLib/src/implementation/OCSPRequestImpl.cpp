#include "OCSPRequestImpl.h"

#include "CertIDImpl.h"
#include "ErrCodeException.h"
#include "OCSPItemDup.h"

#include <new>

namespace TvrOCSP {

// ---- RequestImpl ----

RequestImpl::RequestImpl()
    : OpenSSLBase(OCSP_ONEREQ_new, OCSP_ONEREQ_free, DupOCSP_ONEREQ, d2i_OCSP_ONEREQ, i2d_OCSP_ONEREQ)
{
}

RequestImpl& RequestImpl::Of(const Request& request)
{
    return *request.m_impl;
}

CertID RequestImpl::GetCertID() const
{
    const OCSP_CERTID* id = OCSP_onereq_get0_id(object);
    if (!id)
        throw TvrCommon::ErrCodeException(4);
    CertID copy;
    CertIDImpl::Of(copy).Set(id);
    return copy;
}

// ---- OCSPRequestImpl ----

OCSPRequestImpl::OCSPRequestImpl()
    : OpenSSLBase(OCSP_REQUEST_new, OCSP_REQUEST_free, DupOCSP_REQUEST, d2i_OCSP_REQUEST,
                  i2d_OCSP_REQUEST)
{
}

OCSPRequestImpl& OCSPRequestImpl::Of(const OCSPRequest& request)
{
    return *request.m_impl;
}

OCSP_ONEREQ* OCSPRequestImpl::AddCertID(const std::string& digestName,
                                        const TvrX509::X509Certificate& certificate,
                                        const TvrX509::X509Certificate& issuer)
{
    OCSP_CERTID* id = CertIDImpl::MakeId(digestName, certificate, issuer);
    OCSP_ONEREQ* entry = OCSP_request_add0_id(object, id);
    if (!entry) {
        OCSP_CERTID_free(id);
        throw TvrCommon::ErrCodeException(3);
    }
    return entry;
}

int OCSPRequestImpl::AddNonce(const void* value, int length)
{
    return OCSP_request_add1_nonce(object, static_cast<unsigned char*>(const_cast<void*>(value)),
                                   length);
}

std::unique_ptr<std::vector<Request>> OCSPRequestImpl::GetRequests() const
{
    int count = OCSP_request_onereq_count(object);
    std::unique_ptr<std::vector<Request>> list(new (std::nothrow) std::vector<Request>());
    if (!list)
        throw TvrCommon::ErrCodeException(3);
    for (int i = 0; i < count; ++i) {
        const OCSP_ONEREQ* entry = OCSP_request_onereq_get0(object, i);
        if (!entry)
            throw TvrCommon::ErrCodeException(1);
        Request copy;
        RequestImpl::Of(copy).Set(entry);
        list->push_back(copy);
    }
    return list;
}

} // namespace TvrOCSP
