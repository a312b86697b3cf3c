// The program's end aborts every network exchange at once: each exchange runs with an
// abort of its own (its owner's, or one made for it) that is listed here while it runs.
#pragma once

#include "HttpClient.h"

namespace TvrServices {

// Every exchange in flight is aborted, and every later one (and every later search of a
// directory or archive) fails at once. For good: nothing undoes it.
void AbortEveryTransfer();
bool EveryTransferAborted();

// One exchange's options while it runs, with an abort that AbortEveryTransfer reaches.
class LiveExchange {
public:
    explicit LiveExchange(const HttpOptions& options);
    ~LiveExchange();
    LiveExchange(const LiveExchange&) = delete;
    LiveExchange& operator=(const LiveExchange&) = delete;
    const HttpOptions& Options() const { return options_; }

private:
    HttpOptions options_;
};

} // namespace TvrServices
