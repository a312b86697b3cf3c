#include "OCSPResponseImpl.h"

#include "BasicOCSPResponseImpl.h"
#include "ErrCodeException.h"
#include "OCSPItemDup.h"
#include "OCSPMirror.h"
#include "OCSPUtil.h"

#include <openssl/err.h>
#include <openssl/objects.h>

namespace TvrOCSP {

// ---- ResponseBytesImpl ----

ResponseBytesImpl::ResponseBytesImpl()
    : OpenSSLBase(OCSP_RESPBYTES_new, OCSP_RESPBYTES_free, DupOCSP_RESPBYTES, d2i_OCSP_RESPBYTES,
                  i2d_OCSP_RESPBYTES)
{
}

ResponseBytesImpl& ResponseBytesImpl::Of(const ResponseBytes& bytes)
{
    return *bytes.m_impl;
}

std::string ResponseBytesImpl::GetResponseType() const
{
    auto mirror = MirrorOf<RESPBYTES_MIRROR>(ASN1_ITEM_rptr(OCSP_RESPBYTES), object,
                                             ASN1_ITEM_rptr(RESPBYTES_MIRROR));
    if (!mirror || !mirror->responseType)
        throw TvrCommon::ErrCodeException(1);
    int nid = OBJ_obj2nid(mirror->responseType);
    const char* name = nid == NID_undef ? nullptr : OBJ_nid2ln(nid);
    return name ? name : "";
}

// ---- OCSPResponseImpl ----

OCSPResponseImpl::OCSPResponseImpl()
    : OpenSSLBase(OCSP_RESPONSE_new, OCSP_RESPONSE_free, DupOCSP_RESPONSE, d2i_OCSP_RESPONSE,
                  i2d_OCSP_RESPONSE)
{
}

OCSPResponseImpl::OCSPResponseImpl(const TvrCommon::ByteArray& der) : OCSPResponseImpl()
{
    Release();
    const unsigned char* p = der.GetData();
    object = d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(der.GetSize()));
    if (!object) {
        // A failed decode must not leave errors behind for the next TLS or OpenSSL user
        // of this thread.
        ERR_clear_error();
        throw TvrCommon::ErrCodeException(3);
    }
}

OCSPResponseImpl::OCSPResponseImpl(int status, const BasicOCSPResponse& basic) : OCSPResponseImpl()
{
    OCSP_RESPONSE* created = OCSP_response_create(status, BasicOCSPResponseImpl::Of(basic).object);
    if (!created)
        throw TvrCommon::ErrCodeException(3);
    Adopt(created);
}

OCSPResponseImpl& OCSPResponseImpl::Of(const OCSPResponse& response)
{
    return *response.m_impl;
}

std::unique_ptr<ResponseBytes> OCSPResponseImpl::GetResponseBytes() const
{
    auto mirror = MirrorOf<RESPONSE_MIRROR>(ASN1_ITEM_rptr(OCSP_RESPONSE), object,
                                            ASN1_ITEM_rptr(RESPONSE_MIRROR));
    if (!mirror || !mirror->responseBytes)
        return nullptr;
    auto bytes = std::make_unique<ResponseBytes>();
    ResponseBytesImpl::Of(*bytes).Set(mirror->responseBytes);
    return bytes;
}

int OCSPResponseImpl::GetStatus() const
{
    return OCSP_response_status(object);
}

std::string OCSPResponseImpl::GetStatusText() const
{
    return OCSP_response_status_str(GetStatus());
}

std::unique_ptr<BasicOCSPResponse> OCSPResponseImpl::GetBasicResponse() const
{
    OCSP_BASICRESP* decoded = OCSP_response_get1_basic(object);
    if (!decoded) {
        ERR_clear_error();
        return nullptr;
    }
    std::unique_ptr<OCSP_BASICRESP, decltype(&OCSP_BASICRESP_free)> guard(decoded, OCSP_BASICRESP_free);
    auto basic = std::make_unique<BasicOCSPResponse>();
    // The payload was decoded just now for this object alone: it is taken, not copied.
    BasicOCSPResponseImpl::Of(*basic).Adopt(guard.release());
    return basic;
}

TvrCommon::ByteArray OCSPResponseImpl::EncodedBytes() const
{
    return EncodeItem(object, ASN1_ITEM_rptr(OCSP_RESPONSE));
}

} // namespace TvrOCSP
