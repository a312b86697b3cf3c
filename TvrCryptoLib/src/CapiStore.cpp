#include "CapiStore.h"

#include <iconv.h>
#include <langinfo.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "Trace.h"

namespace capiWrapper {

namespace {
DefaultCapiEvents g_defaultEvents;
std::atomic<CapiEvents*> g_events{nullptr};
} // namespace

void SetCapiEvents(CapiEvents* events) { g_events.store(events); }

CapiEvents* GetCapiEvents()
{
    CapiEvents* events = g_events.load();
    return events ? events : &g_defaultEvents;
}

} // namespace capiWrapper

namespace {

// The longest subject text a search takes, in UTF-16 units with the terminating zero.
constexpr size_t kMaxSubjectUnits = 512;
// The longest name kept for an entry, in UTF-16 units with the terminating zero.
constexpr size_t kMaxNameUnits = 128;

void Trace(const std::string& text)
{
    if (TvrCommon::GetTraceLevel() > 3) TvrCommon::TraceDebug(__FILE__, __LINE__, text);
}

// The locale's narrow text as UTF-8; false when it does not convert or is too long.
bool NarrowToUtf8(const char* text, std::string& out)
{
    iconv_t cd = iconv_open("UTF-8", nl_langinfo(CODESET));
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string input(text);
    std::string output(input.size() * 4 + 4, '\0');
    char* in = input.data();
    size_t inLeft = input.size();
    char* outPtr = output.data();
    size_t outLeft = output.size();
    const bool ok = iconv(cd, &in, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
    iconv_close(cd);
    if (!ok) return false;
    output.resize(output.size() - outLeft);
    size_t units = 1;
    for (size_t i = 0; i < output.size(); ++i) {
        const auto c = static_cast<unsigned char>(output[i]);
        if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    }
    if (units > kMaxSubjectUnits) return false;
    out = output;
    return true;
}

CapiCertEntry MakeEntry(std::string name, const Platform::CertContext& context)
{
    CapiCertEntry entry;
    entry.name = std::move(name);
    entry.encoded = context.Encoded().data();
    entry.encodedLength = static_cast<uint32_t>(context.Encoded().size());
    return entry;
}

} // namespace

CCapiStore::CCapiStore() : open(false), errorText{}, errorCount(0) {}

CCapiStore::~CCapiStore()
{
    if (open) {
        if (store && store->Close())
            open = false;
        else
            RecordError("CertCloseStore error.");
    }
    current.reset();
}

void CCapiStore::RecordError(const char* text)
{
    ++errorCount;
    std::strncpy(errorText, text, sizeof errorText - 1);
    errorText[sizeof errorText - 1] = '\0';
    std::printf("%s", errorText);
}

const char* CCapiStore::GetLastErrorText() const { return errorCount ? errorText : nullptr; }

bool CCapiStore::OpenStore(int index)
{
    static const char* const kNames[] = {"CA", "MY", "ROOT", "SPC"};
    const char* name = (index >= 0 && index <= 3) ? kNames[index] : "MY";
    Trace(std::string("OpenStore, pszStoreName:") + name);
    store = Platform::CertStore::OpenSystem(name);
    current.reset();
    if (!store) {
        Trace(std::string("Failed to open cert store:") + name);
        open = false;
        return false;
    }
    open = true;
    return true;
}

bool CCapiStore::CloseStore()
{
    if (!store || !store->Close()) {
        RecordError("CertCloseStore error.");
        return false;
    }
    open = false;
    handedOut.clear();
    return true;
}

bool CCapiStore::Walk(std::vector<Platform::CertContextPtr>& out)
{
    std::vector<Platform::CertContextPtr> all;
    if (store) store->Enumerate(all);
    for (const auto& context : all) {
        // Resume after the certificate an interrupted walk stopped at.
        if (current && context->Thumbprint() <= current->Thumbprint()) continue;
        current = context;
        out.push_back(context);
    }
    current.reset();
    return true;
}

int CCapiStore::EnumerateCertificates(std::vector<CapiCertEntry>& out)
{
    if (!open) {
        RecordError(capiWrapper::GetCapiEvents()->StoreNotOpenText());
        return -1;
    }
    Trace("Enumerating certificates in Windows certificate store...");
    std::vector<Platform::CertContextPtr> contexts;
    Walk(contexts);
    for (const auto& context : contexts) {
        std::string name = context->SimpleDisplayName(false, kMaxNameUnits - 1);
        Trace("Certificate name (simple display): " + name);
        out.push_back(MakeEntry(std::move(name), *context));
        handedOut.push_back(context);
    }
    return static_cast<int>(contexts.size());
}

int CCapiStore::EnumerateNames(std::vector<std::string>& out)
{
    if (!open) {
        RecordError(capiWrapper::GetCapiEvents()->StoreNotOpenText());
        return -1;
    }
    std::vector<Platform::CertContextPtr> contexts;
    Walk(contexts);
    for (const auto& context : contexts) out.push_back(context->SimpleDisplayName(false, kMaxNameUnits - 1));
    return static_cast<int>(contexts.size());
}

Platform::CertContextPtr CCapiStore::Find(const char* subject)
{
    std::string text;
    Platform::CertContextPtr found;
    if (subject && NarrowToUtf8(subject, text)) found = store->FindBySubject(text);
    if (!found) RecordError(capiWrapper::GetCapiEvents()->NotFoundText());
    return found;
}

int CCapiStore::FindBySubject(const char* subject, std::vector<CapiCertEntry>& out)
{
    if (!open) {
        RecordError(capiWrapper::GetCapiEvents()->StoreNotOpenText());
        return -1;
    }
    Platform::CertContextPtr found = Find(subject);
    if (!found) return 0;
    out.push_back(MakeEntry(subject, *found));
    handedOut.push_back(found);
    return 1;
}

Platform::CertContextPtr CCapiStore::FindCertificate(const char* subject)
{
    if (!open) {
        RecordError(capiWrapper::GetCapiEvents()->StoreNotOpenText());
        return nullptr;
    }
    return Find(subject);
}

bool CCapiStore::AddEncoded(Platform::CertContextPtr context)
{
    if (!open) {
        RecordError(capiWrapper::GetCapiEvents()->StoreNotOpenText());
        return false;
    }
    Platform::CertContextPtr added;
    if (context) {
        // Only the DER bytes go in, as a certificate of its own.
        auto plain = Platform::CertContext::Create(context->Encoded().data(), context->Encoded().size());
        if (plain) added = store->Add(*plain, Platform::CertAddDisposition::UseExisting);
    }
    if (!added) RecordError(capiWrapper::GetCapiEvents()->AddFailedText());
    return added != nullptr;
}
