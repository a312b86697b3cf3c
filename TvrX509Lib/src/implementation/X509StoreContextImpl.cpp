#include "X509StoreContextImpl.h"

#include "ErrCodeException.h"
#include "ThreadFlagRegistry.h"
#include "ThreadId.h"
#include "VerifyAttempt.h"
#include "X509CertificateImpl.h"
#include "X509LibLogger.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <deque>
#include <exception>
#include <limits>
#include <ostream>

namespace TvrX509 {

namespace {

const char* const kSource = "src/X509StoreContextImpl";

std::ostream& Debug(int line)
{
    return GetLogger()->Debug(kSource, line);
}

// The logger when it writes anything, else null: certificate descriptions are built only for
// lines that someone reads.
TvrLogger::ILogger* Tracing()
{
    TvrLogger::ILogger* log = GetLogger();
    return log->IsActive() ? log : nullptr;
}

// One field of a description; a certificate whose field cannot be read is still described.
template <typename Read>
std::string Field(Read read)
{
    try {
        return read();
    } catch (const std::exception&) {
        return std::string();
    }
}

// Equal when both key identifiers are present and the same, or either is absent.
bool KeyIdentifiersFit(X509* issuer, X509* subject)
{
    const ASN1_OCTET_STRING* subjectKeyId = X509_get0_subject_key_id(issuer);
    const ASN1_OCTET_STRING* authorityKeyId = X509_get0_authority_key_id(subject);
    if (!subjectKeyId || !authorityKeyId || ASN1_STRING_length(subjectKeyId) == 0 ||
        ASN1_STRING_length(authorityKeyId) == 0)
        return true;
    return ASN1_OCTET_STRING_cmp(subjectKeyId, authorityKeyId) == 0;
}

// The same CA: equal subject names and equal public keys. A path never passes through one
// CA twice, so certification cycles end at once.
bool SameCa(const X509Certificate& a, const X509Certificate& b)
{
    X509* x = X509CertificateImpl::Get(a);
    X509* y = X509CertificateImpl::Get(b);
    if (X509_NAME_cmp(X509_get_subject_name(x), X509_get_subject_name(y)) != 0)
        return false;
    const ASN1_BIT_STRING* bitsX = X509_get0_pubkey_bitstr(x);
    const ASN1_BIT_STRING* bitsY = X509_get0_pubkey_bitstr(y);
    if (bitsX && bitsY && ASN1_STRING_cmp(bitsX, bitsY) == 0)
        return true;
    EVP_PKEY* keyX = X509_get0_pubkey(x);
    EVP_PKEY* keyY = X509_get0_pubkey(y);
    return keyX && keyY && EVP_PKEY_eq(keyX, keyY) == 1;
}

} // namespace

X509StoreContextImpl::X509StoreContextImpl(IStoreContextDownloader* downloaderIn) : downloader(downloaderIn) {}

int X509StoreContextImpl::SetTargetCertificate(const X509Certificate& certificate, int context)
{
    Register(certificate, CertificateFlags{});
    target = certificate;
    downloadContext = context;
    return context;
}

void X509StoreContextImpl::AddTrustedCertificate(const X509Certificate& certificate)
{
    auto it = certificates.find(certificate);
    if (it == certificates.end()) {
        if (TvrLogger::ILogger* log = Tracing())
            log->Debug(kSource, __LINE__) << "Adding " << DescribeCertificate(certificate) << " to trusted!"
                                          << std::endl;
        Insert(certificate, CertificateFlags{true, false, false});
        return;
    }
    if (it->second.trusted)
        return;
    if (TvrLogger::ILogger* log = Tracing())
        log->Debug(kSource, __LINE__) << "Moved " << DescribeCertificate(certificate)
                                      << " from untrusted to trusted!" << std::endl;
    X509Certificate promoted(certificate);
    promoted.AddTag(it->first.GetTag());
    certificates.erase(it);
    index = SubjectIndex();
    certificates.emplace(promoted, CertificateFlags{true, false, false});
}

void X509StoreContextImpl::AddUntrustedCertificate(const X509Certificate& certificate)
{
    auto it = certificates.find(certificate);
    if (it == certificates.end()) {
        if (TvrLogger::ILogger* log = Tracing())
            log->Debug(kSource, __LINE__) << "Adding " << DescribeCertificate(certificate) << " to untrusted!"
                                          << std::endl;
        Insert(certificate, CertificateFlags{});
        return;
    }
    if (it->second.trusted) {
        if (TvrLogger::ILogger* log = Tracing())
            log->Debug(kSource, __LINE__) << "Not adding " << DescribeCertificate(certificate)
                                          << " to untrusted, as it is already in trusted!" << std::endl;
    }
}

bool X509StoreContextImpl::OpenSSLVerify(const std::string& parameter, const TvrCommon::Date& t)
{
    if (&parameter != &downloadParameter)
        downloadParameter = parameter;
    if (TvrLogger::ILogger* log = Tracing())
        log->Debug(kSource, __LINE__) << "Verify Target certificate:" << DescribeCertificate(target)
                                      << ", build chain for timepoint: " << t.ToIso8601String() << std::endl;
    if (VerifyTarget(t)) {
        Debug(__LINE__) << "OpenSSLVerify(): found " << results.size() << " chain(s)" << std::endl;
        return true;
    }
    Debug(__LINE__) << "OpenSSLVerify(): error " << std::endl;
    if (TvrCrypto::ThreadFlagRegistry::GetFlag2(TvrCommon::CurrentThreadId()))
        GetLogger()->Error(kSource, __LINE__) << "Found wrong digest algorithm!" << std::endl;
    else
        GetLogger()->Error(kSource, __LINE__) << "Verify Target certificate failed." << std::endl;
    return false;
}

X509StoreContextImpl::Chain X509StoreContextImpl::GetCertificateChain(size_t index) const
{
    if (index >= results.size()) {
        GetLogger()->Error(kSource, __LINE__) << "CertificateChain index " << index << " out of range!" << std::endl;
        return Chain();
    }
    return results[index];
}

std::string X509StoreContextImpl::DescribeCertificate(const X509Certificate& certificate)
{
    return " CN: " + Field([&] { return certificate.GetSubjectCN(); }) +
           ", validity: " + Field([&] { return certificate.GetNotBefore().ToIso8601String(); }) + " - " +
           Field([&] { return certificate.GetNotAfter().ToIso8601String(); }) +
           ", issuerCN: " + Field([&] { return certificate.GetIssuerCN(); }) + " ";
}

std::string X509StoreContextImpl::DescribeChain(const Chain& chain)
{
    if (chain.empty())
        return "empty chain";
    std::string text;
    for (const X509Certificate& certificate : chain)
        text += (text.empty() ? "" : " -> ") + Field([&] { return certificate.GetSubjectDN(); });
    return text;
}

X509StoreContextImpl::Entry& X509StoreContextImpl::Register(const X509Certificate& certificate,
                                                            CertificateFlags flags)
{
    auto it = certificates.find(certificate);
    if (it == certificates.end())
        it = Insert(certificate, flags);
    return *it;
}

std::map<X509Certificate, CertificateFlags>::iterator X509StoreContextImpl::Insert(const X509Certificate& certificate,
                                                                                   CertificateFlags flags)
{
    auto it = certificates.emplace(certificate, flags).first;
    index.distancesMeasured = false;
    if (index.built) {
        index.bySubject[X509_get_subject_name(X509CertificateImpl::Get(it->first))].insert(&it->first);
        index.flags[&it->first] = &it->second;
    }
    return it;
}

const X509StoreContextImpl::CertRefSet* X509StoreContextImpl::WithSubject(const X509_NAME* name)
{
    if (!index.built) {
        index.bySubject.clear();
        index.flags.clear();
        for (Entry& entry : certificates) {
            index.bySubject[X509_get_subject_name(X509CertificateImpl::Get(entry.first))].insert(&entry.first);
            index.flags[&entry.first] = &entry.second;
        }
        index.built = true;
    }
    auto it = index.bySubject.find(name);
    return it == index.bySubject.end() ? nullptr : &it->second;
}

CertificateFlags& X509StoreContextImpl::FlagsOf(CertRef certificate)
{
    auto known = index.flags.find(certificate);
    if (known != index.flags.end())
        return *known->second;
    return certificates.find(*certificate)->second;
}

bool X509StoreContextImpl::ValidAt(CertRef certificate, const TvrCommon::Date& t)
{
    auto known = index.validity.find(certificate);
    if (known != index.validity.end())
        return known->second;
    const bool valid = certificate->CheckValidityPeriod(t, 0);
    index.validity.emplace(certificate, valid);
    return valid;
}

bool X509StoreContextImpl::TakeAttempt()
{
    if (attempts < kMaxAttempts) {
        ++attempts;
        return true;
    }
    if (!searchCut) {
        searchCut = true;
        GetLogger()->Warn(kSource, __LINE__) << "Chain search stopped after " << kMaxAttempts
                                             << " attempts, keeping the " << results.size()
                                             << " chain(s) found so far." << std::endl;
    }
    return false;
}

void X509StoreContextImpl::SupplyIssuers(CertRef c)
{
    if (!issuerSource)
        return;
    CertificateFlags& flags = FlagsOf(c);
    if (flags.issuersSupplied)
        return;
    flags.issuersSupplied = true;
    std::vector<X509CertificateInfo> found;
    issuerSource->FindIssuers(X509_get_issuer_name(X509CertificateImpl::Get(*c)), found);
    for (const X509CertificateInfo& certificate : found) {
        auto it = certificates.find(certificate);
        if (it == certificates.end()) {
            if (TvrLogger::ILogger* log = Tracing())
                log->Debug(kSource, __LINE__) << "Adding " << DescribeCertificate(certificate)
                                              << (certificate.IsTrusted() ? " to trusted!" : " to untrusted!")
                                              << std::endl;
            Insert(certificate, CertificateFlags{certificate.IsTrusted(), false, false});
        } else if (certificate.IsTrusted() && !it->second.trusted) {
            // Promoted in place: the search may hold this entry, so it must not move.
            if (TvrLogger::ILogger* log = Tracing())
                log->Debug(kSource, __LINE__) << "Moved " << DescribeCertificate(certificate)
                                              << " from untrusted to trusted!" << std::endl;
            it->second.trusted = true;
            index.distancesMeasured = false;
        }
    }
}

std::vector<X509StoreContextImpl::CertRef> X509StoreContextImpl::NearestFirst(const CertRefSet& issuers,
                                                                            const TvrCommon::Date& t)
{
    std::vector<CertRef> order(issuers.begin(), issuers.end());
    if (order.size() < 2)
        return order;
    if (!index.distancesMeasured)
        MeasureDistances(t);
    auto distance = [this](CertRef certificate) {
        auto known = index.distances.find(certificate);
        return known == index.distances.end() ? std::numeric_limits<size_t>::max() : known->second;
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](CertRef a, CertRef b) { return distance(a) < distance(b); });
    return order;
}

void X509StoreContextImpl::MeasureDistances(const TvrCommon::Date& t)
{
    // Every way up must be in the pool before distances mean anything.
    for (size_t known = 0; issuerSource && known != certificates.size();) {
        known = certificates.size();
        std::vector<CertRef> pool;
        pool.reserve(known);
        for (const Entry& entry : certificates)
            pool.push_back(&entry.first);
        for (CertRef certificate : pool)
            SupplyIssuers(certificate);
    }
    // A certificate whose validity cannot be read leads nowhere; the search itself reports it
    // where it meets it.
    auto usable = [&](CertRef certificate) {
        try {
            return ValidAt(certificate, t);
        } catch (const std::exception&) {
            return false;
        }
    };
    index.distances.clear();
    std::map<const X509_NAME*, std::vector<CertRef>, NameLess> byIssuer;
    std::deque<CertRef> queue;
    for (const Entry& entry : certificates) {
        byIssuer[X509_get_issuer_name(X509CertificateImpl::Get(entry.first))].push_back(&entry.first);
        if (entry.second.trusted && usable(&entry.first)) {
            index.distances.emplace(&entry.first, 0);
            queue.push_back(&entry.first);
        }
    }
    // Breadth first from the anchors down to what they issued.
    while (!queue.empty()) {
        CertRef issuer = queue.front();
        queue.pop_front();
        X509* issuerX509 = X509CertificateImpl::Get(*issuer);
        auto issued = byIssuer.find(X509_get_subject_name(issuerX509));
        if (issued == byIssuer.end())
            continue;
        const size_t next = index.distances[issuer] + 1;
        for (CertRef subject : issued->second) {
            if (index.distances.count(subject) || !KeyIdentifiersFit(issuerX509, X509CertificateImpl::Get(*subject)) ||
                !usable(subject))
                continue;
            index.distances.emplace(subject, next);
            queue.push_back(subject);
        }
    }
    index.distancesMeasured = true;
}

bool X509StoreContextImpl::VerifyTarget(const TvrCommon::Date& t)
{
    results.clear();
    attempts = 0;
    searchCut = false;
    index.validity.clear();
    index.issued.clear();
    index.distancesMeasured = false;
    Entry& entry = Register(target, CertificateFlags{});
    if (tslCheckCallback && !entry.second.tslChecked) {
        entry.second.tslChecked = true;
        Debug(__LINE__) << "Checking target certificate on TSL." << std::endl;
        std::set<X509Certificate> discarded;
        if (tslCheckCallback(entry.first, discarded, t)) {
            entry.second.trusted = true;
            Debug(__LINE__) << "Checking target itself is on TSL." << std::endl;
        }
    }
    if (entry.second.trusted) {
        Debug(__LINE__) << "Target itself is trusted, don't need chain building." << std::endl;
        results.push_back(Chain{entry.first});
        return true;
    }
    return BuildChains({}, &entry.first, t) == 0;
}

int X509StoreContextImpl::BuildChains(const std::vector<CertRef>& partial, CertRef candidate,
                                      const TvrCommon::Date& t)
{
    if (!TakeAttempt())
        return X509_V_ERR_UNSPECIFIED;
    TvrLogger::ILogger* log = Tracing();
    int error = 0;
    {
        // The OpenSSL objects live for this attempt only, not across the recursion below.
        std::vector<X509*> untrusted;
        untrusted.reserve(partial.size() + 1);
        std::vector<X509*> trusted;
        for (CertRef certificate : partial)
            untrusted.push_back(X509CertificateImpl::Get(*certificate));
        bool candidateTrusted = FlagsOf(candidate).trusted;
        (candidateTrusted ? trusted : untrusted).push_back(X509CertificateImpl::Get(*candidate));

        VerifyAttempt attempt;
        X509* targetX509 = X509CertificateImpl::Get(partial.empty() ? *candidate : *partial.front());
        if (!attempt.Prepare(targetX509, untrusted, trusted))
            return 1;
        attempt.State().issued = &index.issued;
        X509_STORE_CTX* ctx = attempt.Context();
        if (attempt.Run() > 0) {
            std::vector<CertRef> chain(partial);
            chain.push_back(candidate);
            STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx);
            bool equal = built && static_cast<size_t>(sk_X509_num(built)) == chain.size();
            for (size_t i = 0; equal && i < chain.size(); ++i)
                equal = X509CertificateImpl::Compare(sk_X509_value(built, static_cast<int>(i)),
                                                     X509CertificateImpl::Get(*chain[i])) == 0;
            if (!equal) {
                GetLogger()->Error(kSource, __LINE__)
                    << "Certificate in X509CertChain is not equal to certificate in OpenSSL X509 chain!" << std::endl;
                throw TvrCommon::ErrCodeException(1);
            }
            if (log) {
                std::string names;
                for (CertRef certificate : chain)
                    names += (names.empty() ? "" : " -> ") + Field([&] { return certificate->GetSubjectCN(); });
                log->Info(kSource, __LINE__) << "Certificate chain: " << names << std::endl;
            }
            Chain copies;
            copies.reserve(chain.size());
            for (CertRef certificate : chain)
                copies.push_back(*certificate);
            results.push_back(std::move(copies));
            if (log)
                log->Debug(kSource, __LINE__) << "Certificate chain added to result list!" << std::endl;
            return 0;
        }
        error = X509_STORE_CTX_get_error(ctx);
        // A failure that left no reason (allocation, issuer lookup) is no success.
        if (error == X509_V_OK)
            error = 1;
        X509* current = X509_STORE_CTX_get_current_cert(ctx);
        if (!current)
            return error;
        if (X509CertificateImpl::Compare(current, X509CertificateImpl::Get(*candidate)) != 0) {
            if (log)
                log->Debug(kSource, __LINE__) << "Cert chain was not built to " << DescribeCertificate(*candidate)
                                              << ", because error for " << DescribeCertificate(X509Certificate(current))
                                              << " : " << error << " (" << X509_verify_cert_error_string(error) << ")"
                                              << std::endl;
            return error;
        }
        if (error != X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT &&
            error != X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY) {
            if (log)
                log->Debug(kSource, __LINE__) << "OpenSSLVerify error: " << error << " ("
                                              << X509_verify_cert_error_string(error) << ")    with current certificate: "
                                              << DescribeCertificate(X509Certificate(current)) << std::endl;
            if (error == X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION) {
                for (const std::string& oid : X509CertificateImpl::GetUnsupportedCriticalExtensions(current))
                    GetLogger()->Error(kSource, __LINE__)
                        << "OID of the not supported critical extension: " << oid << std::endl;
            }
            return error;
        }
    }

    // The candidate's issuer is missing: extend the chain.
    X509* candidateX509 = X509CertificateImpl::Get(*candidate);
    if (candidate->IsSelfIssuedCA()) {
        if (log)
            log->Debug(kSource, __LINE__) << "This is an untrusted rootCA: " << DescribeCertificate(*candidate)
                                          << std::endl;
        return X509_V_ERR_CERT_UNTRUSTED;
    }
    if (X509_NAME_cmp(X509_get_subject_name(candidateX509), X509_get_issuer_name(candidateX509)) == 0) {
        if (log)
            log->Debug(kSource, __LINE__) << "Rejecting self-signed non-CA certificate: "
                                          << DescribeCertificate(*candidate) << std::endl;
        return X509_V_ERR_CERT_REJECTED;
    }
    if (log) {
        log->Debug(kSource, __LINE__) << "Extend the chain with issuer" << std::endl;
        log->Debug(kSource, __LINE__) << "Lookup issuer for " << DescribeCertificate(*candidate) << std::endl;
    }
    CertRefSet trustedIssuers;
    CertRefSet untrustedIssuers;
    if (!LookupIssuers(candidate, trustedIssuers, untrustedIssuers, t)) {
        if (log)
            log->Debug(kSource, __LINE__) << "No issuer found..." << std::endl;
        return X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT;
    }
    std::vector<CertRef> extended;
    extended.reserve(partial.size() + 1);
    extended.assign(partial.begin(), partial.end());
    extended.push_back(candidate);
    bool success = false;
    const std::vector<CertRef> trustedOrder(trustedIssuers.begin(), trustedIssuers.end());
    const std::vector<CertRef> untrustedOrder = NearestFirst(untrustedIssuers, t);
    for (const std::vector<CertRef>* issuers : {&trustedOrder, &untrustedOrder}) {
        for (CertRef issuer : *issuers) {
            bool revisits = false;
            for (CertRef member : extended)
                revisits = revisits || SameCa(*member, *issuer);
            if (revisits) {
                if (log)
                    log->Debug(kSource, __LINE__) << "Skipping issuer already in the chain:"
                                                  << DescribeCertificate(*issuer) << std::endl;
                continue;
            }
            int result = BuildChains(extended, issuer, t);
            if (result == 0) {
                success = true;
            } else if (result == X509_V_ERR_CERT_CHAIN_TOO_LONG) {
                if (log)
                    log->Debug(kSource, __LINE__) << "Too long chain, backing up..." << std::endl;
                return X509_V_ERR_CERT_CHAIN_TOO_LONG;
            }
            if (searchCut)
                return success ? 0 : error;
        }
    }
    return success ? 0 : error;
}

bool X509StoreContextImpl::LookupIssuers(CertRef c, CertRefSet& trustedOut, CertRefSet& untrustedOut,
                                         const TvrCommon::Date& t)
{
    SupplyIssuers(c);
    CertRefSet ignored;
    std::set<X509Certificate> scratch;
    bool found = SearchTslIssuers(c, trustedOut, t, ignored);
    found = SearchPoolIssuers(c, trustedOut, untrustedOut, t, ignored, scratch) || found;
    found = MergeTslFindings(trustedOut, untrustedOut, t, ignored, scratch) || found;
    if (!found && aiaDownload)
        found = DownloadAIAIssuers(c, untrustedOut, t, ignored);

    TvrLogger::ILogger* log = GetLogger();
    if (!log->IsActive())
        return found;
    if (!found) {
        log->Debug(kSource, __LINE__) << "No issuer found." << std::endl;
    } else {
        log->Debug(kSource, __LINE__) << "Found issuers:" << std::endl;
        for (CertRef issuer : trustedOut)
            log->Debug(kSource, __LINE__) << "Trusted: " << DescribeCertificate(*issuer) << std::endl;
        for (CertRef issuer : untrustedOut)
            log->Debug(kSource, __LINE__) << "Untrusted: " << DescribeCertificate(*issuer) << std::endl;
    }
    if (!ignored.empty()) {
        log->Debug(kSource, __LINE__) << "Ignored issuers, because validity period does not fit "
                                      << t.ToIso8601String() << std::endl;
        for (CertRef issuer : ignored)
            log->Debug(kSource, __LINE__) << "Issuer: " << DescribeCertificate(*issuer) << std::endl;
    }
    return found;
}

bool X509StoreContextImpl::SearchTslIssuers(CertRef c, CertRefSet& trustedOut, const TvrCommon::Date& t,
                                            CertRefSet& ignored)
{
    if (!tslIssuerCallback)
        return false;
    Entry& entry = Register(*c, CertificateFlags{});
    if (entry.second.tslIssuersSearched)
        return false;
    entry.second.tslIssuersSearched = true;
    std::set<X509Certificate> listed;
    if (!tslIssuerCallback(entry.first, listed, t))
        return false;
    bool found = false;
    for (const X509Certificate& certificate : listed) {
        auto it = certificates.find(certificate);
        if (it == certificates.end()) {
            if (TvrLogger::ILogger* log = Tracing())
                log->Debug(kSource, __LINE__) << "Found on TSL, adding " << DescribeCertificate(certificate)
                                              << " to trusted!" << std::endl;
            it = Insert(certificate, CertificateFlags{true, true, false});
        } else {
            if (!it->second.trusted) {
                if (TvrLogger::ILogger* log = Tracing())
                    log->Debug(kSource, __LINE__) << "Found on TSL, moved " << DescribeCertificate(certificate)
                                                  << " from untrusted to trusted!" << std::endl;
                it->second.trusted = true;
            }
            it->second.tslChecked = true;
        }
        if (ValidAt(&it->first, t)) {
            trustedOut.insert(&it->first);
            found = true;
        } else {
            ignored.insert(&it->first);
        }
    }
    return found;
}

bool X509StoreContextImpl::SearchPoolIssuers(CertRef c, CertRefSet& trustedOut, CertRefSet& untrustedOut,
                                             const TvrCommon::Date& t, CertRefSet& ignored,
                                             std::set<X509Certificate>& scratch)
{
    X509* subject = X509CertificateImpl::Get(*c);
    const CertRefSet* named = WithSubject(X509_get_issuer_name(subject));
    if (!named)
        return false;
    // The hook below may add certificates under this very name; walk a snapshot.
    const std::vector<CertRef> candidates(named->begin(), named->end());
    bool found = false;
    for (CertRef candidate : candidates) {
        const X509Certificate& e = *candidate;
        if (!KeyIdentifiersFit(X509CertificateImpl::Get(e), subject))
            continue;
        CertificateFlags& flags = FlagsOf(candidate);
        if (!flags.trusted && tslCheckCallback && !flags.tslChecked) {
            flags.tslChecked = true;
            if (tslCheckCallback(e, scratch, t)) {
                flags.trusted = true;
                if (TvrLogger::ILogger* log = Tracing())
                    log->Debug(kSource, __LINE__) << "Found on TSL, moved " << DescribeCertificate(e)
                                                  << " from untrusted to trusted!" << std::endl;
            }
        }
        if (!ValidAt(&e, t)) {
            ignored.insert(&e);
            continue;
        }
        // Candidates come in pool order: appending is the usual case.
        CertRefSet& out = flags.trusted ? trustedOut : untrustedOut;
        out.insert(out.end(), &e);
        found = true;
    }
    return found;
}

bool X509StoreContextImpl::MergeTslFindings(CertRefSet& trustedOut, CertRefSet& untrustedOut,
                                            const TvrCommon::Date& t, CertRefSet& ignored,
                                            const std::set<X509Certificate>& scratch)
{
    bool found = false;
    for (const X509Certificate& certificate : scratch) {
        auto it = certificates.find(certificate);
        if (it == certificates.end()) {
            if (TvrLogger::ILogger* log = Tracing())
                log->Debug(kSource, __LINE__) << "Found on TSL, adding " << DescribeCertificate(certificate)
                                              << " to trusted!" << std::endl;
            it = Insert(certificate, CertificateFlags{true, true, false});
            if (ValidAt(&it->first, t)) {
                trustedOut.insert(&it->first);
                found = true;
            } else {
                ignored.insert(&it->first);
            }
            continue;
        }
        if (!it->second.trusted) {
            if (TvrLogger::ILogger* log = Tracing())
                log->Debug(kSource, __LINE__) << "Found on TSL, moved " << DescribeCertificate(certificate)
                                              << " from untrusted to trusted!" << std::endl;
            it->second.trusted = true;
            if (ValidAt(&it->first, t)) {
                untrustedOut.erase(&it->first);
                trustedOut.insert(&it->first);
            } else {
                ignored.insert(&it->first);
            }
        }
        it->second.tslChecked = true;
    }
    return found;
}

bool X509StoreContextImpl::DownloadAIAIssuers(CertRef c, CertRefSet& untrustedOut, const TvrCommon::Date& t,
                                              CertRefSet& ignored)
{
    Debug(__LINE__) << "No local issuer cert found, downloading by AIA" << std::endl;
    if (!downloadCallback && !downloader) {
        Debug(__LINE__) << "No downloader given, issuer download skipped." << std::endl;
        return false;
    }
    bool found = false;
    try {
        for (const std::string& url : c->GetCAIssuerURLs()) {
            std::unique_ptr<TvrCommon::ByteArray> bytes = Download(url);
            if (!bytes)
                continue;
            try {
                X509Certificate downloaded(*bytes);
                downloaded.AddTag(3);
                if (TvrLogger::ILogger* log = Tracing())
                    log->Debug(kSource, __LINE__) << "Downloaded certificate:" << DescribeCertificate(downloaded)
                                                  << std::endl;
                const bool valid = downloaded.CheckValidityPeriod(t, 0);
                Entry& entry = Register(downloaded, CertificateFlags{});
                if (valid) {
                    untrustedOut.insert(&entry.first);
                    found = true;
                } else {
                    ignored.insert(&entry.first);
                }
                if (downloadNotifyCallback)
                    downloadNotifyCallback(downloaded, 0);
            } catch (const std::exception&) {
                Debug(__LINE__) << "Failed to create certificate from AIA url: " << url << std::endl;
            }
        }
    } catch (...) {
        Debug(__LINE__) << "Exception thrown while downloading issuer... giving up." << std::endl;
    }
    return found;
}

std::unique_ptr<TvrCommon::ByteArray> X509StoreContextImpl::Download(const std::string& url)
{
    std::unique_ptr<TvrCommon::ByteArray> bytes;
    if (downloadCallback) {
        Debug(__LINE__) << "Trying to download certificate using download callback!" << std::endl;
        bytes = downloadCallback(url, downloadContext, downloadParameter);
        Debug(__LINE__) << "Finished downloading certificate using download callback!" << std::endl;
    } else {
        Debug(__LINE__) << "Trying to download certificate not using download callback!" << std::endl;
        bytes = downloader->Download(url);
        Debug(__LINE__) << "Finished downloading certificate not using download callback!" << std::endl;
    }
    return bytes;
}

} // namespace TvrX509
