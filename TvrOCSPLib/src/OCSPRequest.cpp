#include "OCSPRequest.h"

#include "ErrCodeException.h"
#include "OCSPRequestImpl.h"

namespace TvrOCSP {

// ---- Request ----

Request::Request() : m_impl(new RequestImpl()) {}

Request::Request(const Request& other) : m_impl(new RequestImpl(*other.m_impl)) {}

Request& Request::operator=(const Request& other)
{
    if (this != &other)
        *m_impl = *other.m_impl;
    return *this;
}

Request::~Request()
{
    delete m_impl;
}

CertID Request::GetCertID() const { return m_impl->GetCertID(); }

// ---- OCSPRequest ----

OCSPRequest::OCSPRequest() : m_impl(new OCSPRequestImpl()) {}

OCSPRequest::OCSPRequest(const std::string& digestName, const TvrX509::X509Certificate& certificate,
                         const TvrX509::X509Certificate& issuer, bool sign, bool addNonce)
    : m_impl(nullptr)
{
    std::unique_ptr<OCSPRequestImpl> impl(new OCSPRequestImpl());
    impl->AddCertID(digestName, certificate, issuer);
    if (sign)
        throw TvrCommon::ErrCodeException(2);
    if (addNonce)
        impl->AddNonce(nullptr, 0);
    m_impl = impl.release();
}

OCSPRequest::OCSPRequest(const OCSPRequest& other) : m_impl(new OCSPRequestImpl(*other.m_impl)) {}

OCSPRequest& OCSPRequest::operator=(const OCSPRequest& other)
{
    if (this != &other)
        *m_impl = *other.m_impl;
    return *this;
}

OCSPRequest::~OCSPRequest()
{
    delete m_impl;
}

std::unique_ptr<TvrASN1::DERBytes> OCSPRequest::GetDER() const { return m_impl->GetDER(); }

std::unique_ptr<std::vector<Request>> OCSPRequest::GetRequests() const
{
    return m_impl->GetRequests();
}

} // namespace TvrOCSP
