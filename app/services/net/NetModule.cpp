// The entry point of libkelmardin_net.so. The module keeps its own copies of the plain
// helpers its sources use (the event-log rule reads the same profile); the event source,
// which has state, is the program's.
#include "NetStack.h"

#include "platform/EventLog.h"

#include <cstring>

namespace {

const TvrServices::NetStackHost* gHost = nullptr;

} // namespace

namespace Platform {

bool HasEventSource() { return gHost && gHost->hasEventSource(); }

void ReportEvent(uint16_t type, const std::string& text)
{
    if (gHost)
        gHost->reportEvent(type, text);
}

} // namespace Platform

extern "C" __attribute__((visibility("default"))) const TvrServices::NetStack* TvrNetStackOpen(
    const TvrServices::NetStackHost* host)
{
    using namespace TvrServices;
    if (!host || host->version != kNetStackVersion || !host->programVersion
        || std::strcmp(host->programVersion, TVR_PROGRAM_VERSION) != 0 || host->optionsSize != sizeof(HttpOptions)
        || host->responseSize != sizeof(HttpResponse))
        return nullptr;
    gHost = host;
    static const NetStack stack = [] {
        NetStack table;
        table.httpExchange = &HttpExchange;
        table.downloadUrl = &DownloadUrl;
        table.loadCertificatesFromZip = &LoadCertificatesFromZip;
        table.searchCertificatesLdap = &SearchCertificatesLdap;
        table.prepare = &PrepareNetworkStack;
        return table;
    }();
    return &stack;
}
