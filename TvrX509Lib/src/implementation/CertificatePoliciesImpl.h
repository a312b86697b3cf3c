#pragma once

#include "CertificatePolicies.h"
#include "ItemDup.h"
#include "TypedExtensionImpl.h"

namespace TvrX509 {

class PolicyInformationImpl : public TvrASN1::OpenSSLBase<POLICYINFO> {
public:
    PolicyInformationImpl()
        : OpenSSLBase(POLICYINFO_new, POLICYINFO_free, POLICYINFO_dup, d2i_POLICYINFO,
                      i2d_POLICYINFO)
    {
    }
};

class CertificatePoliciesImpl : public TypedExtensionImpl<CERTIFICATEPOLICIES> {
public:
    CertificatePoliciesImpl()
        : TypedExtensionImpl(CERTIFICATEPOLICIES_new, CERTIFICATEPOLICIES_free,
                             CERTIFICATEPOLICIES_dup, d2i_CERTIFICATEPOLICIES,
                             i2d_CERTIFICATEPOLICIES)
    {
    }
    explicit CertificatePoliciesImpl(const TvrASN1::DERBytes& value)
        : TypedExtensionImpl(value, CERTIFICATEPOLICIES_new, CERTIFICATEPOLICIES_free,
                             CERTIFICATEPOLICIES_dup, d2i_CERTIFICATEPOLICIES,
                             i2d_CERTIFICATEPOLICIES)
    {
    }

    std::vector<PolicyInformation> GetPolicies() const;
};

} // namespace TvrX509
