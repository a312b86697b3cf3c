#include "TransferAbort.h"

#include <atomic>
#include <mutex>
#include <set>

namespace TvrServices {

namespace {

std::atomic<bool> gEveryTransferAborted{false};
std::mutex gLiveLock;
std::set<HttpAbort*> gLive;

} // namespace

void AbortEveryTransfer()
{
    gEveryTransferAborted = true;
    std::lock_guard<std::mutex> guard(gLiveLock);
    for (HttpAbort* abort : gLive)
        abort->Abort();
}

bool EveryTransferAborted() { return gEveryTransferAborted; }

void AllowEveryTransfer() { gEveryTransferAborted = false; }

LiveExchange::LiveExchange(const HttpOptions& options) : options_(options)
{
    if (!options_.abort)
        options_.abort = std::make_shared<HttpAbort>();
    std::lock_guard<std::mutex> guard(gLiveLock);
    gLive.insert(options_.abort.get());
    // An end that came meanwhile went through the list without this one.
    if (gEveryTransferAborted)
        options_.abort->Abort();
}

LiveExchange::~LiveExchange()
{
    std::lock_guard<std::mutex> guard(gLiveLock);
    gLive.erase(options_.abort.get());
}

} // namespace TvrServices
