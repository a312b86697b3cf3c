// One HTTP(S) exchange over libcurl for the online services: OCSP requests, issuer
// certificates, later the renewal search and the update check.
#pragma once

#include "ByteArray.h"
#include "IStoreContextDownloader.h"

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace TvrServices {

// Ends, at once and for good, every exchange whose options carry it: those in flight
// (their connections are shut down under them) and those that start later. Shared by
// the owner of the transfers (a dialog, the update check, the card monitor) and the
// exchanges; Abort() may be called from any thread. Defined here, not beside libcurl: the
// program aborts transfers without loading the network module.
class HttpAbort {
public:
    void Abort()
    {
        aborted_ = true;
        std::lock_guard<std::mutex> guard(lock_);
        for (int fd : sockets_)
            ::shutdown(fd, SHUT_RDWR);
    }
    bool Aborted() const { return aborted_.load(); }

    // For the exchange: the sockets of its connections, shut down by Abort(). Open()
    // refuses a new one once aborted.
    bool Open(int socket)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (aborted_)
            return false;
        sockets_.insert(socket);
        return true;
    }
    void Close(int socket)
    {
        std::lock_guard<std::mutex> guard(lock_);
        sockets_.erase(socket);
    }

private:
    std::atomic<bool> aborted_{false};
    std::mutex lock_;
    std::set<int> sockets_;
};

struct HttpOptions {
    long connectTimeoutMs = 10000;
    long totalTimeoutMs = 30000;
    // Larger bodies are dropped whole. 1 MiB fits every OCSP answer and certificate.
    size_t maxBodyBytes = 1024 * 1024;
    // Extra trust anchors for HTTPS (PEM file); empty: the system's CA bundle only.
    std::string caFile;
    // Sent on every request, GET included: some responders and proxies expect it.
    std::string contentType = "application/ocsp-request";
    // The owner's way to end the exchange early; none: only the time-outs end it.
    std::shared_ptr<HttpAbort> abort;
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
// fails, a time-out, a body over the cap, a transfer that broke off half-way (never the
// part that arrived), or an aborted one (transport error CURLE_ABORTED_BY_CALLBACK in
// HttpExchange). Safe from any thread; the system's proxy variables (http_proxy,
// https_proxy, no_proxy) are honoured.
std::unique_ptr<TvrCommon::ByteArray> DownloadUrl(bool post, const std::string& url,
                                                  const TvrCommon::ByteArray* body,
                                                  const HttpOptions& options = HttpOptions());

// The same exchange, reporting status, content type and transport errors. A body over
// the cap or cut short is a transport error and never returned in part.
HttpResponse HttpExchange(bool post, const std::string& url, const TvrCommon::ByteArray* body,
                          const HttpOptions& options = HttpOptions());

std::unique_ptr<TvrCommon::ByteArray> DownloadUrlGet(const std::string& url,
                                                     const HttpOptions& options = HttpOptions());

// Makes the first exchange cost what every later one does: the network module loaded (where
// the program reaches it on demand) and libcurl's global set-up done. Each happens once per
// process; a caller that comes while another thread does it waits for that one.
void PrepareNetworkStack();

// Fetches the issuers the chain building asks for, by GET.
class Downloader : public TvrX509::IStoreContextDownloader {
public:
    explicit Downloader(const HttpOptions& options = HttpOptions()) : m_options(options) {}
    std::unique_ptr<TvrCommon::ByteArray> Download(const std::string& url) override;

private:
    HttpOptions m_options;
};

} // namespace TvrServices
