// One HTTP(S) exchange over libcurl for the online services: OCSP requests, issuer
// certificates, later the renewal search and the update check.
#pragma once

#include "ByteArray.h"
#include "IStoreContextDownloader.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace TvrServices {

struct HttpOptions {
    long connectTimeoutMs = 10000;
    long totalTimeoutMs = 30000;
    // Larger bodies are dropped whole. 1 MiB fits every OCSP answer and certificate.
    size_t maxBodyBytes = 1024 * 1024;
    // Extra trust anchors for HTTPS (PEM file); empty: the system's CA bundle only.
    std::string caFile;
    // Sent on every request, GET included: some responders and proxies expect it.
    std::string contentType = "application/ocsp-request";
};

// What one exchange gave, for callers that tell the failures apart.
struct HttpResponse {
    int transportError = 0;    // libcurl's code; 0 when the exchange completed whole
    std::string errorMessage;  // libcurl's text for transportError
    long status = 0;           // 0: no status came
    std::optional<std::string> contentType;  // absent when the answer named none
    std::string body;          // empty unless the whole body arrived within the cap
};

// "TavrenicKelmardin/<program version>".
const std::string& UserAgent();

// One exchange: POST `body` (may be null) when `post` is set, else GET. The body of a
// 200 answer, or null for anything else: another status, a scheme other than http and
// https (an https transfer follows redirects to https only), a TLS or name check that
// fails, a time-out, a body over the cap, or a transfer that broke off half-way (never
// the part that arrived). Safe from any thread; the system's proxy variables
// (http_proxy, https_proxy, no_proxy) are honoured.
std::unique_ptr<TvrCommon::ByteArray> DownloadUrl(bool post, const std::string& url,
                                                  const TvrCommon::ByteArray* body,
                                                  const HttpOptions& options = HttpOptions());

// The same exchange, reporting status, content type and transport errors. A body over
// the cap or cut short is a transport error and never returned in part.
HttpResponse HttpExchange(bool post, const std::string& url, const TvrCommon::ByteArray* body,
                          const HttpOptions& options = HttpOptions());

std::unique_ptr<TvrCommon::ByteArray> DownloadUrlGet(const std::string& url,
                                                     const HttpOptions& options = HttpOptions());

// Fetches the issuers the chain building asks for, by GET.
class Downloader : public TvrX509::IStoreContextDownloader {
public:
    explicit Downloader(const HttpOptions& options = HttpOptions()) : m_options(options) {}
    std::unique_ptr<TvrCommon::ByteArray> Download(const std::string& url) override;

private:
    HttpOptions m_options;
};

} // namespace TvrServices
