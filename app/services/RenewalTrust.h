// Which renewal candidates may take the place of what the card holds. The search sources
// are not trusted: LDAP answers in clear, a ZIP file is any file, and anybody can make a
// certificate for the card's public key. A candidate is proposed for a card certificate
// only when that certificate's own issuer signed it, or when it chains to a trust anchor
// of "ROOT" (through "CA", the card's certificates and the other candidates).
#pragma once

#include "CertificateCandidates.h"
#include "Date.h"
#include "IStoreContextDownloader.h"

#include <map>
#include <set>
#include <vector>

namespace TvrServices {

// Certificates the trust is built from: the trust anchors and further issuers.
struct RenewalTrustStores {
    std::vector<X509Ptr> anchors;  // "ROOT"
    std::vector<X509Ptr> issuers;  // "CA"

    // The "ROOT" and "CA" certificates valid at `now`.
    static RenewalTrustStores Load(const TvrCommon::Date& now);
};

// At most this many issuer certificates are fetched for one renewal.
inline constexpr int kMaxRenewalIssuerDownloads = 8;

class RenewalTrust {
public:
    // Vouches for nothing.
    RenewalTrust() = default;
    // Decides at `now` for the candidates that hold a key of the card (no other can be
    // proposed). A card certificate's issuer is looked for among the card's certificates
    // and the stores, else fetched from the certificate's own caIssuers addresses through
    // `downloader` (may be null); a fetched issuer counts only when it verifies the card
    // certificate's signature. Wherever it was found, an issuer counts only when it is a
    // CA by its basic constraints and valid at `now`. The candidates' addresses are never
    // fetched.
    RenewalTrust(const TokenObjects& objects, const CandidateMap& candidates, const RenewalTrustStores& stores,
                 const TvrCommon::Date& now, TvrX509::IStoreContextDownloader* downloader);

    // `candidate` may replace the card certificate `old`: the issuer of `old` signed it,
    // or it chains to a trust anchor. For a key without certificate (`old` null) the
    // issuer of any of the card's certificates will do.
    bool Vouches(X509* old, X509* candidate) const;
    // The candidates it vouches for as replacements of `old`.
    CandidateMap Vouched(X509* old, const CandidateMap& candidates) const;

private:
    std::set<X509*> m_anchored;
    std::map<X509*, std::set<X509*>> m_issuedAlike;
};

// The trust of the card's renewal now: the stores as they are, issuers fetched over the
// network as the revocation check fetches them. Blocks while it downloads.
RenewalTrust TrustRenewalCandidates(const TokenObjects& objects, const CandidateMap& candidates);

} // namespace TvrServices
