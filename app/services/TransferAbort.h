// The program's end aborts every network exchange at once: each exchange runs with an
// abort of its own (its owner's, or one made for it) that is listed here while it runs.
#pragma once

#include "HttpClient.h"

namespace TvrServices {

// Every exchange in flight is aborted, and every later one (and every later search of a
// directory or archive) fails at once.
void AbortEveryTransfer();
bool EveryTransferAborted();
// Lifts it again: a later window of the same process (tests, benchmarks) talks to servers
// as a fresh program does.
void AllowEveryTransfer();

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
