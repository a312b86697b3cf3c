#include "CertificateCandidates.h"

#include "SharedUtilities.h"

#include <openssl/evp.h>
#include <openssl/x509v3.h>

namespace TvrServices {

void AddCandidate(CandidateSet& candidates, X509Ptr certificate)
{
    if (!certificate)
        return;
    X509_check_purpose(certificate.get(), -1, 0);
    candidates.insert(std::move(certificate));
}

CandidateMap MapCertificatesByThumbprint(const CandidateSet& candidates)
{
    CandidateMap map;
    for (const X509Ptr& certificate : candidates) {
        std::string thumbprint = CertificateThumbprintHex(certificate.get());
        if (!thumbprint.empty())
            map[thumbprint] = certificate.get();
    }
    return map;
}

bool IsRenewalCertificate(X509* old, X509* candidate)
{
    if (!old || !candidate)
        return false;
    // A time that cannot be compared (0) does not disqualify the candidate.
    if (X509_cmp_current_time(X509_get0_notBefore(candidate)) > 0
        || X509_cmp_current_time(X509_get0_notAfter(candidate)) < 0)
        return false;
    EVP_PKEY* oldKey = X509_get0_pubkey(old);
    EVP_PKEY* newKey = X509_get0_pubkey(candidate);
    // Only 1 means equal: 0 is different, negative is "cannot compare".
    if (!oldKey || !newKey || EVP_PKEY_eq(oldKey, newKey) != 1)
        return false;
    std::string oldStart = Asn1TimeToString(X509_get0_notBefore(old));
    std::string newStart = Asn1TimeToString(X509_get0_notBefore(candidate));
    if (newStart < oldStart)
        return false;
    return X509_cmp(old, candidate) != 0;
}

} // namespace TvrServices
