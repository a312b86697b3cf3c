// The program's side of the network stack: each function loads libkelmardin_net.so on
// its first call (the executable's folder first, as for the program's other libraries)
// and hands the call on. When the module cannot be loaded, every exchange fails the way
// a failed transfer does, with the loader's text, and the event log says why once.
#include "NetStack.h"
#include "TransferAbort.h"

#include "EventLog.h"
#include "platform/EventLog.h"
#include "platform/Library.h"

#include <curl/curl.h>

namespace TvrServices {

namespace {

struct Loaded {
    const NetStack* stack = nullptr;
    std::string error;
};

const Loaded& Load()
{
    static const Loaded loaded = [] {
        static const NetStackHost host = [] {
            NetStackHost h;
            h.hasEventSource = &Platform::HasEventSource;
            h.reportEvent = &Platform::ReportEvent;
            return h;
        }();
        Loaded result;
        // Once in use never unloaded: what it returns (bodies, certificates) may outlive
        // any caller.
        Platform::ModuleHandle module = Platform::LoadLibrary(kNetModuleFile);
        if (!module) {
            result.error = Platform::LastLoaderErrorText();
        } else if (auto open = reinterpret_cast<NetStackOpen>(Platform::GetProcAddress(module, kNetModuleEntry));
                   !open) {
            result.error = Platform::LastLoaderErrorText();
        } else if (!(result.stack = open(&host))) {
            result.error = std::string(kNetModuleFile) + " belongs to another build of the program";
        }
        if (!result.stack) {
            LogEvent(EVENTLOG_ERROR_TYPE, std::string("Failed to load the network module: ") + result.error);
            if (module)
                Platform::FreeLibrary(module);
        }
        return result;
    }();
    return loaded;
}

} // namespace

HttpResponse HttpExchange(bool post, const std::string& url, const TvrCommon::ByteArray* body,
                          const HttpOptions& options)
{
    if (EveryTransferAborted()) {
        HttpResponse response;
        response.transportError = CURLE_ABORTED_BY_CALLBACK;
        response.errorMessage = "The program ends";
        return response;
    }
    const Loaded& net = Load();
    if (net.stack) {
        const LiveExchange live(options);
        return net.stack->httpExchange(post, url, body, live.Options());
    }
    HttpResponse response;
    response.transportError = CURLE_FAILED_INIT;
    response.errorMessage = net.error;
    return response;
}

std::unique_ptr<TvrCommon::ByteArray> DownloadUrl(bool post, const std::string& url,
                                                  const TvrCommon::ByteArray* body,
                                                  const HttpOptions& options)
{
    if (EveryTransferAborted())
        return nullptr;
    const Loaded& net = Load();
    if (!net.stack)
        return nullptr;
    const LiveExchange live(options);
    return net.stack->downloadUrl(post, url, body, live.Options());
}

std::unique_ptr<TvrCommon::ByteArray> DownloadUrlGet(const std::string& url, const HttpOptions& options)
{
    return DownloadUrl(false, url, nullptr, options);
}

std::unique_ptr<TvrCommon::ByteArray> Downloader::Download(const std::string& url)
{
    return DownloadUrlGet(url, m_options);
}

void PrepareNetworkStack()
{
    const Loaded& net = Load();
    if (net.stack)
        net.stack->prepare();
}

CandidateSet LoadCertificatesFromZip(const std::string& path, std::string& errorText)
{
    if (EveryTransferAborted())
        return {};
    const Loaded& net = Load();
    if (net.stack)
        return net.stack->loadCertificatesFromZip(path, errorText);
    errorText = net.error;
    return {};
}

CandidateSet SearchCertificatesLdap(const std::string& host, int port, const std::string& baseDn,
                                    const std::string& filter, const std::string& attribute,
                                    std::string& errorText)
{
    if (EveryTransferAborted())
        return {};
    const Loaded& net = Load();
    if (net.stack)
        return net.stack->searchCertificatesLdap(host, port, baseDn, filter, attribute, errorText);
    errorText = net.error;
    return {};
}

} // namespace TvrServices
