#include "CertID.h"

#include "CertIDImpl.h"

namespace TvrOCSP {

CertID::CertID() : m_impl(new CertIDImpl()) {}

CertID::CertID(const std::string& digestName, const TvrX509::X509Certificate& certificate,
               const TvrX509::X509Certificate& issuer)
    : m_impl(nullptr)
{
    std::unique_ptr<CertIDImpl> impl(new CertIDImpl());
    impl->Create(digestName, certificate, issuer);
    m_impl = impl.release();
}

CertID::CertID(const CertID& other) : m_impl(new CertIDImpl(*other.m_impl)) {}

CertID& CertID::operator=(const CertID& other)
{
    if (this != &other)
        *m_impl = *other.m_impl;
    return *this;
}

CertID::~CertID()
{
    delete m_impl;
}

std::unique_ptr<TvrCommon::BigInt> CertID::GetSerialNumber() const { return m_impl->GetSerialNumber(); }
std::unique_ptr<std::string> CertID::GetHashAlgorithm() const { return m_impl->GetHashAlgorithm(); }
std::string CertID::GetIssuerNameHash() const { return m_impl->GetIssuerNameHash(); }
std::string CertID::GetIssuerKeyHash() const { return m_impl->GetIssuerKeyHash(); }

bool CertID::operator==(const CertID& other) const
{
    return m_impl == other.m_impl || m_impl->Equals(*other.m_impl);
}

bool CertID::operator!=(const CertID& other) const
{
    return !(*this == other);
}

} // namespace TvrOCSP
