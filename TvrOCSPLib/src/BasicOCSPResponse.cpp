#include "BasicOCSPResponse.h"

#include "BasicOCSPResponseImpl.h"

namespace TvrOCSP {

BasicOCSPResponse::BasicOCSPResponse() : m_impl(new BasicOCSPResponseImpl()) {}

BasicOCSPResponse::BasicOCSPResponse(const TvrASN1::DERBytes& der)
    : m_impl(new BasicOCSPResponseImpl(der))
{
}

BasicOCSPResponse::BasicOCSPResponse(const BasicOCSPResponse& other)
    : m_impl(new BasicOCSPResponseImpl(*other.m_impl))
{
}

BasicOCSPResponse& BasicOCSPResponse::operator=(const BasicOCSPResponse& other)
{
    if (this != &other)
        *m_impl = *other.m_impl;
    return *this;
}

BasicOCSPResponse::~BasicOCSPResponse()
{
    delete m_impl;
}

std::string BasicOCSPResponse::GetResponderID() const { return m_impl->GetResponderID(); }
TvrCommon::Date BasicOCSPResponse::GetProducedAt() const { return m_impl->GetProducedAt(); }
std::unique_ptr<TvrCommon::ByteArray> BasicOCSPResponse::GetSignature() const { return m_impl->GetSignature(); }
std::string BasicOCSPResponse::GetFingerprint() const { return m_impl->GetFingerprint(); }

std::unique_ptr<std::vector<SingleResponse>> BasicOCSPResponse::GetSingleResponses() const
{
    return m_impl->GetSingleResponses();
}

bool BasicOCSPResponse::FindSingleResponse(const OCSPRequest& request, SingleResponse& found) const
{
    return m_impl->FindSingleResponse(request, found);
}

std::unique_ptr<std::vector<TvrX509::X509Certificate>> BasicOCSPResponse::GetCertificates() const
{
    return m_impl->GetCertificates();
}

bool BasicOCSPResponse::HasExtensions() const { return m_impl->HasExtensions(); }

std::unique_ptr<std::vector<TvrX509::X509Extension>> BasicOCSPResponse::GetExtensions() const
{
    return m_impl->GetExtensions();
}

bool BasicOCSPResponse::Verify(TvrX509::X509Certificate& responder,
                               const std::set<TvrX509::X509Certificate*>* candidates) const
{
    return m_impl->Verify(responder, candidates);
}

std::string BasicOCSPResponse::GetSignatureDigestAlgorithm() const
{
    return m_impl->GetSignatureDigestAlgorithm();
}

bool BasicOCSPResponse::CheckNonce(const OCSPRequest& request) const { return m_impl->CheckNonce(request); }

bool BasicOCSPResponse::IsResponderCertificate(const TvrX509::X509Certificate& certificate) const
{
    return m_impl->IsResponderCertificate(certificate);
}

bool BasicOCSPResponse::IsAuthorizedResponder(const TvrX509::X509Certificate& responder,
                                              const TvrX509::X509Certificate& issuer, std::time_t at) const
{
    return m_impl->IsAuthorizedResponder(responder, issuer, at);
}

bool BasicOCSPResponse::IsAuthorizedResponder(const TvrX509::X509Certificate& responder,
                                              const TvrX509::X509Certificate& issuer) const
{
    return m_impl->IsAuthorizedResponder(responder, issuer, std::time(nullptr));
}

bool BasicOCSPResponse::IsAuthorizedSigner(const TvrX509::X509Certificate& signer,
                                           const TvrX509::X509Certificate& issuer, std::time_t at) const
{
    return m_impl->IsAuthorizedSigner(signer, issuer, at);
}

} // namespace TvrOCSP
