#include "TrustSet.h"

#include "Date.h"
#include "EventLog.h"
#include "platform/CertStore.h"

#include <exception>
#include <mutex>

namespace TvrServices {

namespace {

constexpr int kStoreTag = 2;

const char* const kStores[] = {"ROOT", "CA"};

// The store's certificates in its order; none when it cannot be opened or read.
std::vector<Platform::CertContextPtr> Enumerate(const char* name)
{
    std::vector<Platform::CertContextPtr> contexts;
    if (auto store = Platform::CertStore::OpenSystem(name))
        store->Enumerate(contexts);
    return contexts;
}

// Both stores' stamps; empty when either cannot be told.
std::string StoresStamp()
{
    std::string stamp;
    for (const char* name : kStores) {
        auto store = Platform::CertStore::OpenSystem(name);
        const std::string part = store ? store->ChangeStamp() : std::string();
        if (part.empty())
            return std::string();
        stamp += std::string(name) + "\n" + part + "\n";
    }
    return stamp;
}

} // namespace

std::shared_ptr<const TrustSet> TrustSet::Current()
{
    static std::mutex lock;
    static std::string builtFor;
    static std::shared_ptr<const TrustSet> built;
    // The stamp is taken before the stores are read: a change while they are read makes the
    // next stamp differ, so the set is built again then.
    const std::string stamp = StoresStamp();
    std::lock_guard<std::mutex> guard(lock);
    if (built && !stamp.empty() && stamp == builtFor)
        return built;
    std::shared_ptr<TrustSet> set(new TrustSet());
    // The bundle's certificates come decoded from the store layer's own cache.
    for (const char* name : kStores) {
        const bool trusted = std::string(name) == "ROOT";
        for (const auto& context : Enumerate(name))
            set->Add(context->Certificate(), trusted, context->Thumbprint());
    }
    for (const auto& certificate : set->m_certificates)
        set->m_candidates.insert(certificate.get());
    built = set;
    builtFor = stamp;
    return built;
}

void TrustSet::Add(const X509* certificate, bool trusted, const std::string& thumbprint)
{
    // "ROOT" comes first: a root that is in "CA" as well stays a trust anchor.
    if (!certificate || !m_thumbprints.insert(thumbprint).second)
        return;
    auto info = std::make_unique<TvrX509::X509CertificateInfo>(TvrX509::X509Certificate::Sharing(certificate));
    try {
        // Its validity is asked at every check; a date that cannot be read would end each one.
        info->IsValidAt(TvrCommon::Date::Now(), 0);
    } catch (const std::exception&) {
        std::string subject;
        try {
            subject = info->GetSubjectDN();
        } catch (const std::exception&) {
            subject = thumbprint;
        }
        LogEvent(EVENTLOG_WARNING_TYPE, std::string("A certificate of the \"") + (trusted ? "ROOT" : "CA") +
                                            "\" store has validity dates that cannot be read and is not used "
                                            "by the revocation check: " + subject);
        return;
    }
    info->SetTrusted(trusted);
    info->AddTag(kStoreTag);
    m_bySubject.emplace(X509_get_subject_name(certificate), info.get());
    m_certificates.push_back(std::move(info));
}

std::vector<const TvrX509::X509CertificateInfo*> TrustSet::WithSubject(const X509_NAME* name) const
{
    std::vector<const TvrX509::X509CertificateInfo*> found;
    auto range = m_bySubject.equal_range(name);
    for (auto it = range.first; it != range.second; ++it)
        found.push_back(it->second);
    return found;
}

} // namespace TvrServices
