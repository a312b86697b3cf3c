// The certificates the revocation check builds chains with: those of the "ROOT" store as
// trust anchors and those of the "CA" store as intermediates. Decoded once per version of the
// two stores and shared, read-only, by every checker of the process: the trust bundle behind
// "ROOT" alone holds some 150 certificates, and an insertion must not pay for them again.
#pragma once

#include "X509Certificate.h"
#include "X509CertificateInfo.h"

#include <openssl/x509.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace TvrServices {

class TrustSet {
public:
    // The set for the stores as they are now: the one built before while neither store has
    // changed (by their change stamps), else a new one. A certificate in both stores counts once, as
    // a trust anchor; one whose dates cannot be read is left out (with a warning event).
    static std::shared_ptr<const TrustSet> Current();

    TrustSet(const TrustSet&) = delete;
    TrustSet& operator=(const TrustSet&) = delete;

    // The certificates whose subject is `name` (OpenSSL's name comparison), "ROOT" ones
    // first, each in its store's order. Trust flag set for "ROOT" ones, origin tag 2.
    std::vector<const TvrX509::X509CertificateInfo*> WithSubject(const X509_NAME* name) const;
    // Every certificate, in that order.
    const std::vector<std::unique_ptr<TvrX509::X509CertificateInfo>>& Certificates() const { return m_certificates; }
    // Every certificate, as the candidates for an OCSP responder's certificate (read only;
    // their type only lacks the const).
    const std::set<TvrX509::X509Certificate*>& Candidates() const { return m_candidates; }

private:
    struct NameLess {
        bool operator()(const X509_NAME* a, const X509_NAME* b) const { return X509_NAME_cmp(a, b) < 0; }
    };

    TrustSet() = default;
    void Add(const X509* certificate, bool trusted, const std::string& thumbprint);

    std::vector<std::unique_ptr<TvrX509::X509CertificateInfo>> m_certificates;
    std::multimap<const X509_NAME*, const TvrX509::X509CertificateInfo*, NameLess> m_bySubject;
    std::set<std::string> m_thumbprints;
    std::set<TvrX509::X509Certificate*> m_candidates;
};

} // namespace TvrServices
