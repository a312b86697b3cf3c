#include "TrustSet.h"

#include "Date.h"
#include "EventLog.h"
#include "platform/CertStore.h"

#include <exception>
#include <mutex>

namespace TvrServices {

namespace {

constexpr int kStoreTag = 2;

// The store's certificates in its order; none when it cannot be opened or read.
std::vector<Platform::CertContextPtr> Enumerate(const char* name)
{
    std::vector<Platform::CertContextPtr> contexts;
    if (auto store = Platform::CertStore::OpenSystem(name))
        store->Enumerate(contexts);
    return contexts;
}

} // namespace

std::shared_ptr<const TrustSet> TrustSet::Current()
{
    // The bundle's certificates come decoded from the store layer's own cache; listing the
    // stores costs their folders' few files, not a decoding of the bundle.
    const std::vector<Platform::CertContextPtr> roots = Enumerate("ROOT");
    const std::vector<Platform::CertContextPtr> intermediates = Enumerate("CA");
    Version version;
    version.reserve(roots.size() + intermediates.size() + 1);
    for (const auto& context : roots)
        version.push_back(context->Thumbprint());
    version.emplace_back();
    for (const auto& context : intermediates)
        version.push_back(context->Thumbprint());

    static std::mutex lock;
    static Version builtFor;
    static std::shared_ptr<const TrustSet> built;
    std::lock_guard<std::mutex> guard(lock);
    if (built && builtFor == version)
        return built;
    std::shared_ptr<TrustSet> set(new TrustSet());
    for (const auto& context : roots)
        set->Add(context->Certificate(), true, context->Thumbprint());
    for (const auto& context : intermediates)
        set->Add(context->Certificate(), false, context->Thumbprint());
    built = set;
    builtFor = std::move(version);
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
