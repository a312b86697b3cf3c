#include "HttpClient.h"
#include "TransferAbort.h"

#include <curl/curl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>

namespace TvrServices {

namespace {

void GlobalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct Sink {
    std::string data;
    size_t cap = 0;
    bool overflow = false;
};

size_t Write(char* ptr, size_t size, size_t count, void* user)
{
    Sink* sink = static_cast<Sink*>(user);
    size_t length = size * count;
    if (sink->data.size() + length > sink->cap) {
        sink->overflow = true;
        return 0;  // makes curl abort the transfer with CURLE_WRITE_ERROR
    }
    sink->data.append(ptr, length);
    return length;
}

// The connections of an exchange that can be aborted are opened here, so that Abort()
// can shut them down: curl then sees the connection end at once, whatever it waited for.
curl_socket_t OpenSocket(void* user, curlsocktype purpose, curl_sockaddr* address)
{
    if (purpose != CURLSOCKTYPE_IPCXN)
        return CURL_SOCKET_BAD;
    int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0)
        return CURL_SOCKET_BAD;
    if (!static_cast<HttpAbort*>(user)->Open(fd)) {
        ::close(fd);
        return CURL_SOCKET_BAD;
    }
    return fd;
}

int CloseSocket(void* user, curl_socket_t fd)
{
    static_cast<HttpAbort*>(user)->Close(fd);
    return ::close(fd);
}

// Ends a transfer that has no connection to shut down yet (name resolution, say).
int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<HttpAbort*>(user)->Aborted() ? 1 : 0;
}

} // namespace

void PrepareNetworkStack()
{
    GlobalInit();
    // The first handle sets up what every later one shares (the resolver, the protocol tables).
    std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
}

const std::string& UserAgent()
{
    static const std::string agent = std::string("TavrenicKelmardin/") + TVR_PROGRAM_VERSION;
    return agent;
}

HttpResponse HttpExchange(bool post, const std::string& url, const TvrCommon::ByteArray* body,
                          const HttpOptions& given)
{
    const LiveExchange live(given);
    const HttpOptions& options = live.Options();
    HttpResponse response;
    auto fail = [&response](CURLcode code, const char* detail) {
        response.transportError = code;
        response.errorMessage = detail && *detail ? detail : curl_easy_strerror(code);
        response.body.clear();
        return response;
    };
    // Kept until the handle is gone: curl closes its connections through it.
    const std::shared_ptr<HttpAbort> abort = options.abort;
    if (abort && abort->Aborted())
        return fail(CURLE_ABORTED_BY_CALLBACK, nullptr);
    GlobalInit();
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl)
        return fail(CURLE_FAILED_INIT, nullptr);
    CURL* h = curl.get();

    std::string contentType = "Content-Type: " + options.contentType;
    std::unique_ptr<curl_slist, SlistDeleter> headers(curl_slist_append(nullptr, contentType.c_str()));
    if (!headers)
        return fail(CURLE_OUT_OF_MEMORY, nullptr);
    // curl would otherwise send "Expect: 100-continue" and wait for it on larger bodies.
    curl_slist* withExpect = curl_slist_append(headers.get(), "Expect:");
    if (!withExpect)
        return fail(CURLE_OUT_OF_MEMORY, nullptr);
    char errorBuffer[CURL_ERROR_SIZE] = {};
    // What starts over TLS stays over TLS: a redirect to http would re-post the form
    // (307) or fetch the answer (302) in clear.
    const bool secure = url.size() >= 8 && strncasecmp(url.c_str(), "https://", 8) == 0;

    Sink sink;
    sink.cap = options.maxBodyBytes;

    bool ok = curl_easy_setopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK
        // Only the web: no file:, no ftp:, and redirects may not leave http/https either.
        && curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https") == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, options.totalTimeoutMs) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_USERAGENT, UserAgent().c_str()) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                            static_cast<curl_off_t>(options.maxBodyBytes)) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Write) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK;
    if (ok && abort)
        ok = curl_easy_setopt(h, CURLOPT_OPENSOCKETFUNCTION, OpenSocket) == CURLE_OK
            && curl_easy_setopt(h, CURLOPT_OPENSOCKETDATA, abort.get()) == CURLE_OK
            && curl_easy_setopt(h, CURLOPT_CLOSESOCKETFUNCTION, CloseSocket) == CURLE_OK
            && curl_easy_setopt(h, CURLOPT_CLOSESOCKETDATA, abort.get()) == CURLE_OK
            && curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, Progress) == CURLE_OK
            && curl_easy_setopt(h, CURLOPT_XFERINFODATA, abort.get()) == CURLE_OK
            && curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
    if (ok && !options.caFile.empty())
        ok = curl_easy_setopt(h, CURLOPT_CAINFO, options.caFile.c_str()) == CURLE_OK;
    if (ok && post) {
        const unsigned char* data = body ? body->GetData() : nullptr;
        curl_off_t size = body ? static_cast<curl_off_t>(body->GetSize()) : 0;
        ok = curl_easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK
            && curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, size) == CURLE_OK
            && curl_easy_setopt(h, CURLOPT_POSTFIELDS, data ? static_cast<const void*>(data) : "") == CURLE_OK;
    } else if (ok) {
        ok = curl_easy_setopt(h, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    }
    if (!ok)
        return fail(CURLE_BAD_FUNCTION_ARGUMENT, nullptr);

    // Any error, including one after part of the body arrived, yields no body.
    CURLcode result = curl_easy_perform(h);
    if (result == CURLE_OK && sink.overflow)
        result = CURLE_WRITE_ERROR;
    // A connection shut down under the transfer fails in whatever way curl notices first.
    if (result != CURLE_OK && abort && abort->Aborted())
        return fail(CURLE_ABORTED_BY_CALLBACK, nullptr);
    if (result != CURLE_OK)
        return fail(result, errorBuffer);
    if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status) != CURLE_OK)
        response.status = 0;
    char* answerType = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &answerType) == CURLE_OK && answerType)
        response.contentType = answerType;
    response.body = std::move(sink.data);
    return response;
}

std::unique_ptr<TvrCommon::ByteArray> DownloadUrl(bool post, const std::string& url,
                                                  const TvrCommon::ByteArray* body,
                                                  const HttpOptions& options)
{
    HttpResponse response = HttpExchange(post, url, body, options);
    if (response.transportError != 0 || response.status != 200)
        return nullptr;
    return std::make_unique<TvrCommon::ByteArray>(
        reinterpret_cast<const unsigned char*>(response.body.data()), response.body.size());
}

std::unique_ptr<TvrCommon::ByteArray> DownloadUrlGet(const std::string& url, const HttpOptions& options)
{
    return DownloadUrl(false, url, nullptr, options);
}

std::unique_ptr<TvrCommon::ByteArray> Downloader::Download(const std::string& url)
{
    return DownloadUrlGet(url, m_options);
}

} // namespace TvrServices
