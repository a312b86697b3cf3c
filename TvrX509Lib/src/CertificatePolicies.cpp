#include "CertificatePolicies.h"

#include "CertificatePoliciesImpl.h"

namespace TvrX509 {

// ---- PolicyInformation ----

PolicyInformation::PolicyInformation() : m_impl(new PolicyInformationImpl()) {}

PolicyInformation::PolicyInformation(const PolicyInformation& other)
    : m_impl(new PolicyInformationImpl(*other.m_impl))
{
}

PolicyInformation& PolicyInformation::operator=(const PolicyInformation& other)
{
    if (m_impl != other.m_impl)
        *m_impl = *other.m_impl;
    return *this;
}

PolicyInformation::~PolicyInformation()
{
    delete m_impl;
}

std::string PolicyInformation::GetPolicyId() const
{
    return ObjectToText(m_impl->object->policyid, 1);
}

// ---- CertificatePoliciesImpl ----

std::vector<PolicyInformation> CertificatePoliciesImpl::GetPolicies() const
{
    std::vector<PolicyInformation> policies;
    for (int i = 0; i < sk_POLICYINFO_num(object); ++i) {
        const POLICYINFO* element = sk_POLICYINFO_value(object, i);
        if (!element)
            throw TvrCommon::ErrCodeException(4);
        PolicyInformation policy;
        policy.m_impl->Set(element);
        policies.push_back(policy);
    }
    return policies;
}

// ---- CertificatePolicies ----

const std::string CertificatePolicies::OID = "2.5.29.32";

CertificatePolicies::CertificatePolicies() : X509Extension(), m_typed(new CertificatePoliciesImpl())
{
    m_typed->extension = GetImpl();
}

CertificatePolicies::CertificatePolicies(const TvrASN1::DERBytes& value, bool critical)
    : X509Extension(OID, value, critical), m_typed(new CertificatePoliciesImpl(value))
{
    m_typed->extension = GetImpl();
}

CertificatePolicies::CertificatePolicies(const CertificatePolicies& other)
    : X509Extension(other), m_typed(new CertificatePoliciesImpl(*other.m_typed))
{
    m_typed->extension = GetImpl();
}

CertificatePolicies& CertificatePolicies::operator=(const CertificatePolicies& other)
{
    if (m_typed != other.m_typed) {
        X509Extension::operator=(other);
        *m_typed = *other.m_typed;
        m_typed->extension = GetImpl();
    }
    return *this;
}

CertificatePolicies::~CertificatePolicies()
{
    delete m_typed;
}

std::vector<PolicyInformation> CertificatePolicies::GetPolicies() const
{
    return m_typed->GetPolicies();
}

} // namespace TvrX509
