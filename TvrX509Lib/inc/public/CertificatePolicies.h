#pragma once

#include "X509Extension.h"

#include <string>
#include <vector>

namespace TvrX509 {

class PolicyInformationImpl;
class CertificatePoliciesImpl;

// One PolicyInformation.
class PolicyInformation {
public:
    PolicyInformation();
    PolicyInformation(const PolicyInformation& other);
    PolicyInformation& operator=(const PolicyInformation& other);
    virtual ~PolicyInformation();

    // The policy OID in dotted form.
    std::string GetPolicyId() const;

private:
    friend class CertificatePoliciesImpl;
    PolicyInformationImpl* m_impl;
};

// The certificatePolicies extension (2.5.29.32).
class CertificatePolicies : public X509Extension {
public:
    static const std::string OID;

    CertificatePolicies();
    CertificatePolicies(const TvrASN1::DERBytes& value, bool critical);
    CertificatePolicies(const CertificatePolicies& other);
    CertificatePolicies& operator=(const CertificatePolicies& other);
    virtual ~CertificatePolicies();

    std::vector<PolicyInformation> GetPolicies() const;

private:
    CertificatePoliciesImpl* m_typed;
};

} // namespace TvrX509
