#include "RevocationChecker.h"

#include "BasicOCSPResponse.h"
#include "CryptoLogger.h"
#include "EventLog.h"
#include "OCSPRequest.h"
#include "OCSPResponse.h"
#include "SingleResponse.h"

#include <exception>

namespace TvrServices {

namespace {

constexpr int kCertificateHold = 6;
const char* const kNonceOid = "1.3.6.1.5.5.7.48.1.2";

bool HasNonce(const TvrOCSP::BasicOCSPResponse& basic)
{
    auto extensions = basic.GetExtensions();
    if (!extensions)
        return false;
    for (const TvrX509::X509Extension& extension : *extensions)
        if (extension.GetOID() == kNonceOid)
            return true;
    return false;
}

std::string Describe(const TvrX509::X509Certificate& certificate)
{
    try {
        return certificate.GetSubjectDN();
    } catch (const std::exception&) {
        return certificate.GetThumbprint();
    }
}

} // namespace

// What every address is asked: the encoded request and what the answer is checked against.
struct RevocationChecker::Query {
    const TvrX509::X509Certificate& certificate;
    const TvrX509::X509Certificate& issuer;
    const TvrOCSP::OCSPRequest& request;
    const TvrCommon::ByteArray& encoded;
    const std::string& thumbprint;
};

RevocationChecker::RevocationChecker(const HttpOptions& options)
    : RevocationChecker(options, TvrCommon::Date::Now())
{
}

RevocationChecker::RevocationChecker(const HttpOptions& options, const TvrCommon::Date& now)
    : m_options(options), m_now(now), m_issuers(TrustSet::Current(), now)
{
}

RevocationChecker::~RevocationChecker() = default;

bool RevocationChecker::StoreIssuers::IsValid(const TvrX509::X509CertificateInfo& certificate)
{
    auto known = m_validity.find(&certificate);
    if (known != m_validity.end())
        return known->second;
    bool valid = false;
    try {
        valid = certificate.IsValidAt(m_now, 0);
    } catch (const std::exception&) {
        // Dates the store set could read at one instant and not at this one: not valid.
    }
    if (!valid) {
        TvrLogger::ILogger* logger = TvrCrypto::GetLogger();
        if (logger->IsActive())
            logger->Debug(__FILE__, __LINE__) << "This certificate is not valid: " << Describe(certificate);
    }
    m_validity.emplace(&certificate, valid);
    return valid;
}

void RevocationChecker::StoreIssuers::FindIssuers(const X509_NAME* issuerName,
                                                  std::vector<TvrX509::X509CertificateInfo>& found)
{
    for (const TvrX509::X509CertificateInfo* certificate : m_trust->WithSubject(issuerName))
        if (IsValid(*certificate))
            found.push_back(*certificate);
}

bool RevocationChecker::DoRevocationCheck(const TvrX509::X509Certificate& certificate,
                                          std::set<std::string>& revoked)
{
    std::string thumbprint;
    std::set<std::string> urls;
    std::vector<TvrX509::X509Certificate> chain;
    // A certificate or chain the library cannot handle must not end the registration
    // thread: it is let through, as every other failure to get an answer is.
    try {
        thumbprint = certificate.GetThumbprint();
        if (revoked.count(thumbprint))
            return false;
        urls = certificate.GetOCSPUrls();
        if (urls.empty())
            return true;
        Downloader downloader(m_options);
        TvrX509::X509StoreContext context(&downloader);
        context.SetIssuerSource(&m_issuers);
        context.SetTargetCertificate(certificate, 0);
        context.OpenSSLVerify("", m_now);
        chain = context.GetCertificateChain(0);
    } catch (const std::exception& e) {
        LogEvent(EVENTLOG_WARNING_TYPE, "Revocation check of " + Describe(certificate)
                                            + " skipped: " + e.what());
        return true;
    }
    if (chain.size() < 2)
        return true;
    const TvrX509::X509Certificate& issuer = chain[1];

    TvrCrypto::SetLogger(nullptr);
    try {
        TvrOCSP::OCSPRequest request("sha256", certificate, issuer, false, true);
        auto der = request.GetDER();
        TvrCommon::ByteArray encoded(der->GetData(), der->GetSize());
        Query query{certificate, issuer, request, encoded, thumbprint};
        // std::set keeps the addresses distinct and in ascending order.
        for (const std::string& url : urls) {
            Outcome outcome = Outcome::NoAnswer;
            // One broken or hostile responder must not silence the ones after it: an
            // answer that does not parse counts as no answer from that address.
            try {
                outcome = AskResponder(url, query, revoked);
            } catch (const std::exception& e) {
                TvrCrypto::GetLogger()->Error(__FILE__, __LINE__) << "Something wrong happened: " << e.what();
            }
            switch (outcome) {
            case Outcome::Good:
                return true;
            case Outcome::Revoked:
                return false;
            case Outcome::NoAnswer:
                break;
            }
        }
    } catch (const std::exception& e) {
        TvrCrypto::GetLogger()->Error(__FILE__, __LINE__) << "Something wrong happened: " << e.what();
        return true;
    }
    return true;
}

RevocationChecker::Outcome RevocationChecker::AskResponder(const std::string& url, const Query& query,
                                                           std::set<std::string>& revoked)
{
    std::unique_ptr<TvrCommon::ByteArray> body = DownloadUrl(true, url, &query.encoded, m_options);
    if (!body)
        return Outcome::NoAnswer;
    TvrOCSP::OCSPResponse response(*body);
    if (response.GetStatus() != 0)
        return Outcome::NoAnswer;
    std::unique_ptr<TvrOCSP::BasicOCSPResponse> basic = response.GetBasicResponse();
    if (!basic)
        return Outcome::NoAnswer;
    // Many responders serve pre-signed answers and never echo a nonce (RFC 5019): such an
    // answer is judged by its signer and freshness below. A nonce that is not ours marks
    // an answer to another request.
    if (!basic->CheckNonce(query.request) && HasNonce(*basic)) {
        LogEvent(EVENTLOG_WARNING_TYPE, "The OCSP answer of " + url + " for " + Describe(query.certificate)
                                            + " carries the nonce of another request and is not used.");
        return Outcome::NoAnswer;
    }
    // Every store certificate is a candidate, valid or not: the check below holds a
    // delegated responder to its validity, and the issuer itself is valid, being in the chain.
    TvrX509::X509Certificate responder;
    if (!basic->Verify(responder, &m_issuers.Trust().Candidates()))
        return Outcome::NoAnswer;
    // A signature that chains somewhere is not enough: only the issuer itself or a
    // responder it delegated to may speak for its certificates, and only while its own
    // certificate is valid. Anyone on the path could otherwise make a certificate
    // unregistrable for good.
    const std::time_t now = static_cast<std::time_t>(m_now.GetValue(TvrCommon::Date::Seconds));
    if (!basic->IsAuthorizedSigner(responder, query.issuer, now)) {
        LogEvent(EVENTLOG_WARNING_TYPE, "The OCSP answer of " + url + " for " + Describe(query.certificate)
                                            + " is signed by an unauthorised responder and is not used.");
        return Outcome::NoAnswer;
    }
    TvrOCSP::SingleResponse single;
    if (!basic->FindSingleResponse(query.request, single))
        return Outcome::NoAnswer;
    if (!single.IsFresh(now)) {
        LogEvent(EVENTLOG_WARNING_TYPE, "The OCSP answer of " + url + " for " + Describe(query.certificate)
                                            + " is out of date and is not used.");
        return Outcome::NoAnswer;
    }
    std::unique_ptr<TvrOCSP::CertStatus> status = single.GetCertStatus();
    if (!status)
        return Outcome::NoAnswer;
    switch (status->GetStatus()) {
    case 0:
        return Outcome::Good;
    case 1: {
        std::unique_ptr<TvrOCSP::RevokedInfo> info = status->GetRevokedInfo();
        if (!info)
            return Outcome::NoAnswer;
        if (info->GetRevocationReason() != kCertificateHold)
            revoked.insert(query.thumbprint);
        return Outcome::Revoked;
    }
    default:
        return Outcome::NoAnswer;
    }
}

} // namespace TvrServices
