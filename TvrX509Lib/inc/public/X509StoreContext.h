#pragma once

#include "ByteArray.h"
#include "Date.h"
#include "IStoreContextDownloader.h"
#include "IStoreContextIssuerSource.h"
#include "X509Certificate.h"

#include <cstddef>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace TvrX509 {

class X509StoreContextImpl;

// Fetches the bytes at a caIssuers address: (URL, download context, download parameter).
using CertificateDownloadCallback = std::unique_ptr<TvrCommon::ByteArray> (*)(
    const std::string& url, int downloadContext, const std::string& downloadParameter);
// Asks a trust list about a certificate at a time point; true when it is listed. The
// certificates put into the set are taken as trust-list certificates.
using TslLookupCallback = bool (*)(const X509Certificate& certificate, std::set<X509Certificate>& found,
                                   const TvrCommon::Date& timePoint);
// Announces a downloaded issuer certificate; the context always passes 0.
using CertificateDownloadNotifyCallback = void (*)(const X509Certificate& certificate, int value);

// Finds every certification path from a target certificate to a trusted certificate at a
// time point, over a pool of trusted and untrusted certificates that grows on demand
// through the trust-list hooks and by downloading issuers named in authorityInfoAccess.
// Chains are ordered target first, trust anchor last. Not thread-safe.
class X509StoreContext {
public:
    // `downloader` is not owned and may be null (issuer download is then skipped unless a
    // download callback is set); it must outlive the context.
    explicit X509StoreContext(IStoreContextDownloader* downloader);
    X509StoreContext(const X509StoreContext& other);
    X509StoreContext& operator=(const X509StoreContext& other);
    virtual ~X509StoreContext();

    // Adds the target to the pool (untrusted unless already present); returns the context.
    int SetTargetCertificate(const X509Certificate& target, int downloadContext);
    // Adds as a trust anchor, promoting an untrusted entry (its tag is kept).
    void AddTrustedCertificate(const X509Certificate& certificate);
    // Adds as untrusted; a trusted entry stays trusted.
    void AddUntrustedCertificate(const X509Certificate& certificate);

    // Builds all chains of the target valid at `timePoint`; true when at least one was
    // found. Verification failures are logged, not thrown; a malformed validity time
    // (code 4) and an inconsistent OpenSSL chain (code 1) are thrown.
    bool OpenSSLVerify(const std::string& downloadParameter, const TvrCommon::Date& timePoint);

    // Chain `index` of the last verification; an index out of range gives an empty chain.
    std::vector<X509Certificate> GetCertificateChain(size_t index) const;
    size_t GetCertificateChainCount() const;
    std::vector<std::vector<X509Certificate>> GetCertificateChains() const;

    // Each stores the hook (null switches it off) and returns it.
    CertificateDownloadCallback SetDownloadCallback(CertificateDownloadCallback callback);
    TslLookupCallback SetTslCheckCallback(TslLookupCallback callback);
    TslLookupCallback SetTslIssuerCallback(TslLookupCallback callback);
    CertificateDownloadNotifyCallback SetDownloadNotifyCallback(CertificateDownloadNotifyCallback callback);

    // Pool certificates supplied on demand, beside those added; null (the default) for none.
    // Not owned; it must outlive the context. Its certificates join the pool as the two
    // operations above add them, except that a certificate already there is at most
    // promoted to trusted.
    void SetIssuerSource(IStoreContextIssuerSource* source);

    // Issuer download through authorityInfoAccess; on after construction.
    bool SetAIADownload(bool enabled);
    bool GetAIADownload() const;

private:
    X509StoreContextImpl* m_impl;
};

} // namespace TvrX509
