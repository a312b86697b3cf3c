#pragma once

#include "BasicOCSPResponse.h"
#include "ByteArray.h"
#include "DERBytes.h"
#include "Date.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace TvrOCSP {

class ResponseBytesImpl;
class OCSPResponseImpl;

// The typed payload of a response.
class ResponseBytes {
public:
    ResponseBytes();
    ResponseBytes(const ResponseBytes& other);
    ResponseBytes& operator=(const ResponseBytes& other);
    virtual ~ResponseBytes();

    // OpenSSL's long name of the responseType ("Basic OCSP Response"), "" for an OID
    // OpenSSL does not know; none: code 1.
    std::string GetResponseType() const;

private:
    friend class ResponseBytesImpl;
    ResponseBytesImpl* m_impl;
};

// The outer OCSP response: status and responseBytes. The associated text and the time
// intervals are a user's annotations; they are copied with the object but never encoded
// nor compared.
class OCSPResponse {
public:
    using TimeIntervals = std::vector<std::pair<TvrCommon::Date, TvrCommon::Date>>;

    OCSPResponse();
    // Bytes that do not decode: code 3; bytes after the first object are ignored.
    explicit OCSPResponse(const TvrCommon::ByteArray& der);
    // `status` with `basic` as id-pkix-ocsp-basic responseBytes; not created: code 3.
    OCSPResponse(int status, const BasicOCSPResponse& basic);
    OCSPResponse(const OCSPResponse& other);
    OCSPResponse& operator=(const OCSPResponse& other);
    virtual ~OCSPResponse();

    std::unique_ptr<TvrASN1::DERBytes> GetDER() const;
    // Null when the response has none.
    std::unique_ptr<ResponseBytes> GetResponseBytes() const;
    // 0 successful, 1 malformedRequest, 2 internalError, 3 tryLater, 5 sigRequired,
    // 6 unauthorized.
    int GetStatus() const;
    // "successful", "trylater", ...; "(UNKNOWN)" for other values.
    std::string GetStatusText() const;
    // Null without responseBytes, for another response type or an undecodable payload.
    std::unique_ptr<BasicOCSPResponse> GetBasicResponse() const;

    void SetTimeIntervals(const TimeIntervals& intervals);
    TimeIntervals GetTimeIntervals() const;
    void AddTimeInterval(const TvrCommon::Date& first, const TvrCommon::Date& second);
    void SetAssociatedText(const std::string& text);
    std::string GetAssociatedText() const;

    // By the DER encodings.
    bool operator<(const OCSPResponse& other) const;
    bool operator==(const OCSPResponse& other) const;

private:
    friend class OCSPResponseImpl;
    OCSPResponseImpl* m_impl;
};

} // namespace TvrOCSP
