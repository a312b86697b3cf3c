// Decides before a card certificate is registered whether an OCSP responder reports it
// revoked. Leans towards registering: only a clear "revoked" from an authorised, fresh
// answer keeps a certificate out.
#pragma once

#include "Date.h"
#include "HttpClient.h"
#include "SingleResponse.h"
#include "X509Certificate.h"
#include "X509CertificateInfo.h"
#include "X509StoreContext.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace TvrServices {

class RevocationChecker {
public:
    // Loads the "ROOT" (trusted) and "CA" (untrusted) certificates valid now.
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

    // The store certificates, trusted ones as trust anchors, in the stores' order.
    void AddToStoreContext(TvrX509::X509StoreContext& context) const;

    // Appends the certificates of system store `storeIndex` (0 "CA", 2 "ROOT") valid at
    // `time`, flagged `trusted` and tagged as store certificates.
    static void LoadStoreCertificates(int storeIndex, bool trusted,
                                      std::vector<std::unique_ptr<TvrX509::X509CertificateInfo>>& out,
                                      const TvrCommon::Date& time);

private:
    enum class Outcome { Good, Revoked, NoAnswer };
    struct Query;
    Outcome AskResponder(const std::string& url, const Query& query, std::set<std::string>& revoked) const;

    HttpOptions m_options;
    TvrCommon::Date m_now;
    std::vector<std::unique_ptr<TvrX509::X509CertificateInfo>> m_certificates;
};

} // namespace TvrServices
