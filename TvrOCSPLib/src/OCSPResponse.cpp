#include "OCSPResponse.h"

#include "OCSPResponseImpl.h"

namespace TvrOCSP {

// ---- ResponseBytes ----

ResponseBytes::ResponseBytes() : m_impl(new ResponseBytesImpl()) {}

ResponseBytes::ResponseBytes(const ResponseBytes& other) : m_impl(new ResponseBytesImpl(*other.m_impl)) {}

ResponseBytes& ResponseBytes::operator=(const ResponseBytes& other)
{
    if (this != &other)
        *m_impl = *other.m_impl;
    return *this;
}

ResponseBytes::~ResponseBytes()
{
    delete m_impl;
}

std::string ResponseBytes::GetResponseType() const { return m_impl->GetResponseType(); }

// ---- OCSPResponse ----

OCSPResponse::OCSPResponse() : m_impl(new OCSPResponseImpl()) {}

OCSPResponse::OCSPResponse(const TvrCommon::ByteArray& der) : m_impl(new OCSPResponseImpl(der)) {}

OCSPResponse::OCSPResponse(int status, const BasicOCSPResponse& basic)
    : m_impl(new OCSPResponseImpl(status, basic))
{
}

OCSPResponse::OCSPResponse(const OCSPResponse& other) : m_impl(new OCSPResponseImpl(*other.m_impl)) {}

OCSPResponse& OCSPResponse::operator=(const OCSPResponse& other)
{
    if (this != &other)
        *m_impl = *other.m_impl;
    return *this;
}

OCSPResponse::~OCSPResponse()
{
    delete m_impl;
}

std::unique_ptr<TvrASN1::DERBytes> OCSPResponse::GetDER() const { return m_impl->GetDER(); }
std::unique_ptr<ResponseBytes> OCSPResponse::GetResponseBytes() const { return m_impl->GetResponseBytes(); }
int OCSPResponse::GetStatus() const { return m_impl->GetStatus(); }
std::string OCSPResponse::GetStatusText() const { return m_impl->GetStatusText(); }

std::unique_ptr<BasicOCSPResponse> OCSPResponse::GetBasicResponse() const
{
    return m_impl->GetBasicResponse();
}

void OCSPResponse::SetTimeIntervals(const TimeIntervals& intervals) { m_impl->timeIntervals = intervals; }
OCSPResponse::TimeIntervals OCSPResponse::GetTimeIntervals() const { return m_impl->timeIntervals; }

void OCSPResponse::AddTimeInterval(const TvrCommon::Date& first, const TvrCommon::Date& second)
{
    m_impl->timeIntervals.emplace_back(first, second);
}

void OCSPResponse::SetAssociatedText(const std::string& text) { m_impl->associatedText = text; }
std::string OCSPResponse::GetAssociatedText() const { return m_impl->associatedText; }

bool OCSPResponse::operator<(const OCSPResponse& other) const
{
    return m_impl->EncodedBytes() < other.m_impl->EncodedBytes();
}

bool OCSPResponse::operator==(const OCSPResponse& other) const
{
    if (this == &other || m_impl->object == other.m_impl->object)
        return true;
    try {
        return m_impl->EncodedBytes() == other.m_impl->EncodedBytes();
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace TvrOCSP
