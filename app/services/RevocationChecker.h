// Decides before a card certificate is registered whether an OCSP responder reports it
// revoked. Leans towards registering: only a clear "revoked" from an authorised, fresh
// answer keeps a certificate out.
#pragma once

#include "Date.h"
#include "HttpClient.h"
#include "IStoreContextIssuerSource.h"
#include "SingleResponse.h"
#include "TrustSet.h"
#include "X509Certificate.h"
#include "X509CertificateInfo.h"
#include "X509StoreContext.h"

#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace TvrServices {

class RevocationChecker {
public:
    // Works with the "ROOT" (trusted) and "CA" (untrusted) certificates valid now.
    explicit RevocationChecker(const HttpOptions& options = HttpOptions());
    // The same at a given instant (used for the validity of the store certificates, the
    // responder certificate and the freshness of the answer).
    RevocationChecker(const HttpOptions& options, const TvrCommon::Date& now);
    RevocationChecker(const RevocationChecker&) = delete;
    RevocationChecker& operator=(const RevocationChecker&) = delete;
    virtual ~RevocationChecker();

    // True: the certificate may be registered. False: it was reported revoked (or is in
    // `revoked`, the 40-digit lower-case thumbprints found revoked so far, which a
    // revocation other than certificateHold extends).
    bool DoRevocationCheck(const TvrX509::X509Certificate& certificate, std::set<std::string>& revoked);

private:
    enum class Outcome { Good, Revoked, NoAnswer };
    struct Query;

    // The store certificates that may have issued a certificate the chain building meets,
    // valid at the checker's instant: each chain context gets only those, not the whole set.
    class StoreIssuers : public TvrX509::IStoreContextIssuerSource {
    public:
        StoreIssuers(std::shared_ptr<const TrustSet> trust, const TvrCommon::Date& now)
            : m_trust(std::move(trust)), m_now(now) {}
        void FindIssuers(const X509_NAME* issuerName, std::vector<TvrX509::X509CertificateInfo>& found) override;
        bool IsValid(const TvrX509::X509CertificateInfo& certificate);
        const TrustSet& Trust() const { return *m_trust; }

    private:
        std::shared_ptr<const TrustSet> m_trust;
        TvrCommon::Date m_now;
        std::unordered_map<const TvrX509::X509CertificateInfo*, bool> m_validity;
    };

    Outcome AskResponder(const std::string& url, const Query& query, std::set<std::string>& revoked);

    HttpOptions m_options;
    TvrCommon::Date m_now;
    StoreIssuers m_issuers;
};

} // namespace TvrServices
