#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/CertStore.h"

namespace capiWrapper {

// The texts recorded for the store's errors. Replaceable process-wide; the default
// provider gives empty texts.
class CapiEvents {
public:
    virtual ~CapiEvents() = default;
    virtual const char* StoreNotOpenText() = 0;
    virtual const char* AddFailedText() = 0;
    virtual const char* NotFoundText() = 0;
};

class DefaultCapiEvents : public CapiEvents {
public:
    const char* StoreNotOpenText() override { return ""; }
    const char* AddFailedText() override { return ""; }
    const char* NotFoundText() override { return ""; }
};

// Installs a provider (null: the default again). The caller keeps it alive.
void SetCapiEvents(CapiEvents* events);
CapiEvents* GetCapiEvents();

} // namespace capiWrapper

// One certificate as the store holds it. The bytes belong to the store object: they stay
// valid until it is closed or destroyed.
struct CapiCertEntry {
    std::string name;
    const uint8_t* encoded = nullptr;
    uint32_t encodedLength = 0;
};

// Read access to one system certificate store of the current user in UTF-8 names and DER
// bytes. Nothing throws: failures are results and a recorded error text.
class CCapiStore {
public:
    CCapiStore();
    CCapiStore(const CCapiStore&) = delete;
    CCapiStore& operator=(const CCapiStore&) = delete;
    virtual ~CCapiStore();

    // 0 "CA", 1 "MY", 2 "ROOT", 3 "SPC", any other "MY".
    bool OpenStore(int index);
    bool CloseStore();
    // Entries appended; -1 when no store is open.
    int EnumerateCertificates(std::vector<CapiCertEntry>& out);
    int EnumerateNames(std::vector<std::string>& out);
    // subject in the locale's narrow charset; 1 found, 0 not found, -1 no store open.
    int FindBySubject(const char* subject, std::vector<CapiCertEntry>& out);
    // The first certificate whose subject contains the text, or null.
    Platform::CertContextPtr FindCertificate(const char* subject);
    // Adds the certificate unless the store has it already; the context is consumed.
    bool AddEncoded(Platform::CertContextPtr context);
    // The last recorded text, or null when nothing was recorded.
    const char* GetLastErrorText() const;

private:
    void RecordError(const char* text);
    // The certificates from `current` on, ending the walk; false when the store is not open.
    bool Walk(std::vector<Platform::CertContextPtr>& out);
    Platform::CertContextPtr Find(const char* subject);

    bool open;
    char errorText[4096];
    int errorCount;
    Platform::CertContextPtr current;
    Platform::CertStorePtr store;
    // Keeps the bytes of the entries handed out alive until the store is closed.
    std::vector<Platform::CertContextPtr> handedOut;
};
