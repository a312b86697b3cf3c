#include "RenewalTrust.h"

#include "HttpClient.h"
#include "TrustSet.h"
#include "X509StoreContext.h"

#include <openssl/x509v3.h>

#include <ctime>
#include <exception>

namespace TvrServices {

namespace {

X509Ptr Decode(const unsigned char* data, size_t length)
{
    const unsigned char* p = data;
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(length)));
}

// The trust anchors ("ROOT") or the further issuers ("CA") valid at `now`.
std::vector<X509Ptr> StoreCertificates(bool anchors, const TvrCommon::Date& now)
{
    std::vector<X509Ptr> certificates;
    for (const auto& info : TrustSet::Current()->Certificates()) {
        if (info->IsTrusted() != anchors || !info->IsValidAt(now, 0))
            continue;
        auto der = info->GetDER();
        if (X509Ptr certificate = der ? Decode(der->GetData(), der->GetSize()) : nullptr)
            certificates.push_back(std::move(certificate));
    }
    return certificates;
}

bool SameKey(EVP_PKEY* a, EVP_PKEY* b)
{
    return a && b && EVP_PKEY_eq(a, b) == 1;
}

// `issuer` names and signed `subject`: the names and key identifiers match and the
// signature verifies under its key.
bool Signed(X509* issuer, X509* subject)
{
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    return key && X509_check_issued(issuer, subject) == X509_V_OK && X509_verify(subject, key) == 1;
}

// Only a CA certificate (basicConstraints CA) valid at `at` vouches for what its key
// signed, wherever it was found: the card and the caIssuers addresses hold expired and
// end-entity certificates as readily as the stores.
bool MayVouch(X509* issuer, std::time_t at)
{
    if (!(X509_get_extension_flags(issuer) & EXFLAG_CA))
        return false;
    // X509_cmp_time: -1 at or before `at`, 1 after, 0 for a time that cannot be read.
    return X509_cmp_time(X509_get0_notBefore(issuer), &at) == -1
        && X509_cmp_time(X509_get0_notAfter(issuer), &at) == 1;
}

// The certificates at the caIssuers addresses of `certificate` that signed it. Each
// address is fetched once, and no more than the budget allows.
std::vector<X509Ptr> DownloadIssuers(X509* certificate, TvrX509::IStoreContextDownloader& downloader,
                                     std::set<std::string>& fetched, int& budget, std::time_t at)
{
    std::vector<X509Ptr> issuers;
    std::set<std::string> urls;
    try {
        urls = TvrX509::X509Certificate(certificate).GetCAIssuerURLs();
    } catch (const std::exception&) {
        return issuers;
    }
    for (const std::string& url : urls) {
        if (budget <= 0 || !fetched.insert(url).second)
            continue;
        --budget;
        try {
            std::unique_ptr<TvrCommon::ByteArray> body = downloader.Download(url);
            if (!body || body->GetSize() == 0)
                continue;
            TvrX509::X509Certificate parsed(body->GetData(), static_cast<int>(body->GetSize()));
            auto der = parsed.GetDER();
            X509Ptr issuer = der ? Decode(der->GetData(), der->GetSize()) : nullptr;
            if (issuer && MayVouch(issuer.get(), at) && Signed(issuer.get(), certificate))
                issuers.push_back(std::move(issuer));
        } catch (const std::exception&) {
            // Not a certificate: no issuer from this address.
        }
    }
    return issuers;
}

} // namespace

RenewalTrustStores RenewalTrustStores::Load(const TvrCommon::Date& now)
{
    RenewalTrustStores stores;
    stores.anchors = StoreCertificates(true, now);
    stores.issuers = StoreCertificates(false, now);
    return stores;
}

RenewalTrust::RenewalTrust(const TokenObjects& objects, const CandidateMap& candidates,
                           const RenewalTrustStores& stores, const TvrCommon::Date& now,
                           TvrX509::IStoreContextDownloader* downloader)
{
    std::vector<X509*> cardCertificates;
    std::vector<EVP_PKEY*> cardKeys;
    for (const auto& [handle, record] : objects.certificates) {
        if (record->certificate)
            cardCertificates.push_back(record->certificate.get());
        if (record->publicKey)
            cardKeys.push_back(record->publicKey.get());
    }
    for (const auto& [handle, record] : objects.publicKeys)
        if (record->publicKey)
            cardKeys.push_back(record->publicKey.get());
    std::vector<X509*> relevant;
    for (const auto& [thumbprint, candidate] : candidates) {
        for (EVP_PKEY* key : cardKeys) {
            if (SameKey(key, X509_get0_pubkey(candidate))) {
                relevant.push_back(candidate);
                break;
            }
        }
    }
    if (relevant.empty())
        return;

    std::vector<X509*> pool = cardCertificates;
    for (const X509Ptr& certificate : stores.anchors)
        pool.push_back(certificate.get());
    for (const X509Ptr& certificate : stores.issuers)
        pool.push_back(certificate.get());
    std::vector<X509Ptr> downloaded;
    std::set<std::string> fetched;
    int budget = kMaxRenewalIssuerDownloads;
    const std::time_t at = static_cast<std::time_t>(now.GetValue(TvrCommon::Date::Seconds));
    for (X509* old : cardCertificates) {
        std::vector<X509*> issuers;
        for (X509* known : pool)
            if (MayVouch(known, at) && Signed(known, old))
                issuers.push_back(known);
        if (issuers.empty() && downloader) {
            for (X509Ptr& issuer : DownloadIssuers(old, *downloader, fetched, budget, at)) {
                issuers.push_back(issuer.get());
                downloaded.push_back(std::move(issuer));
            }
        }
        for (X509* issuer : issuers)
            for (X509* candidate : relevant)
                if (Signed(issuer, candidate))
                    m_issuedAlike[old].insert(candidate);
    }

    // The path check never fetches anything: a candidate's own addresses are the
    // sender's choice.
    TvrX509::X509StoreContext context(nullptr);
    context.SetAIADownload(false);
    try {
        for (const X509Ptr& anchor : stores.anchors)
            context.AddTrustedCertificate(TvrX509::X509Certificate(anchor.get()));
        for (const X509Ptr& issuer : stores.issuers)
            context.AddUntrustedCertificate(TvrX509::X509Certificate(issuer.get()));
        for (const X509Ptr& issuer : downloaded)
            context.AddUntrustedCertificate(TvrX509::X509Certificate(issuer.get()));
        for (X509* certificate : cardCertificates)
            context.AddUntrustedCertificate(TvrX509::X509Certificate(certificate));
        for (const auto& [thumbprint, candidate] : candidates)
            context.AddUntrustedCertificate(TvrX509::X509Certificate(candidate));
    } catch (const std::exception&) {
        return;
    }
    for (X509* candidate : relevant) {
        try {
            context.SetTargetCertificate(TvrX509::X509Certificate(candidate), 0);
            if (context.OpenSSLVerify("", now))
                m_anchored.insert(candidate);
        } catch (const std::exception&) {
            // A path the library cannot handle vouches for nothing.
        }
    }
}

RenewalTrust TrustRenewalCandidates(const TokenObjects& objects, const CandidateMap& candidates)
{
    const TvrCommon::Date now = TvrCommon::Date::Now();
    Downloader downloader;
    return RenewalTrust(objects, candidates, RenewalTrustStores::Load(now), now, &downloader);
}

bool RenewalTrust::Vouches(X509* old, X509* candidate) const
{
    if (m_anchored.count(candidate))
        return true;
    if (old) {
        const auto found = m_issuedAlike.find(old);
        return found != m_issuedAlike.end() && found->second.count(candidate) != 0;
    }
    for (const auto& [certificate, vouched] : m_issuedAlike)
        if (vouched.count(candidate))
            return true;
    return false;
}

CandidateMap RenewalTrust::Vouched(X509* old, const CandidateMap& candidates) const
{
    CandidateMap vouched;
    for (const auto& [thumbprint, candidate] : candidates)
        if (Vouches(old, candidate))
            vouched.emplace(thumbprint, candidate);
    return vouched;
}

} // namespace TvrServices
