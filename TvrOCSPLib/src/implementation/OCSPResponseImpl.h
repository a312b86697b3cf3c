#pragma once

#include "IDigest.h"
#include "OCSPResponse.h"
#include "OpenSSLBase.h"

#include <openssl/ocsp.h>

#include <memory>
#include <string>

namespace TvrOCSP {

class ResponseBytesImpl : public TvrASN1::OpenSSLBase<OCSP_RESPBYTES> {
public:
    ResponseBytesImpl();
    ResponseBytesImpl(const ResponseBytesImpl& other) = default;
    ResponseBytesImpl& operator=(const ResponseBytesImpl& other) = default;
    virtual ~ResponseBytesImpl() = default;

    static ResponseBytesImpl& Of(const ResponseBytes& bytes);
    std::string GetResponseType() const;
};

class OCSPResponseImpl : public TvrASN1::OpenSSLBase<OCSP_RESPONSE>,
                         public TvrASN1::IDigest<OCSPResponseImpl> {
public:
    OCSPResponseImpl();
    // Decodes the first object of `der`; undecodable bytes: code 3.
    explicit OCSPResponseImpl(const TvrCommon::ByteArray& der);
    OCSPResponseImpl(int status, const BasicOCSPResponse& basic);
    OCSPResponseImpl(const OCSPResponseImpl& other) = default;
    OCSPResponseImpl& operator=(const OCSPResponseImpl& other) = default;
    virtual ~OCSPResponseImpl() = default;

    static OCSPResponseImpl& Of(const OCSPResponse& response);

    std::unique_ptr<ResponseBytes> GetResponseBytes() const;
    int GetStatus() const;
    std::string GetStatusText() const;
    std::unique_ptr<BasicOCSPResponse> GetBasicResponse() const;
    // The DER encoding, empty when the object cannot be encoded.
    TvrCommon::ByteArray EncodedBytes() const;

    std::string associatedText;
    OCSPResponse::TimeIntervals timeIntervals;
};

} // namespace TvrOCSP
