#include "platform/PcscDeadline.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace Platform {

namespace {

std::atomic<bool> gAbandoned{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// Helpers establishing a context that were given up and have not returned yet.
std::atomic<int> gStalledEstablish{0};

// What a helper got, shared with the caller that may have stopped waiting for it.
template <typename Handle>
struct Pending {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  bool givenUp = false;
  LONG result = SCARD_E_TIMEOUT;
  Handle handle = 0;
  DWORD protocol = 0;
};

// Waits for the helper until the deadline, checking the program's end now and then
// (a signal handler cannot notify). True when it finished; else it is given up.
template <typename Handle>
bool WaitForHelper(Pending<Handle>& pending, std::chrono::milliseconds deadline, const std::atomic<bool>* giveUp) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  std::unique_lock<std::mutex> guard(pending.lock);
  while (!pending.finished) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end || gAbandoned || (giveUp && *giveUp)) {
      pending.givenUp = true;
      return false;
    }
    pending.done.wait_for(guard, std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(50)));
  }
  return true;
}

// Runs call(handle, protocol) -> LONG on a helper; undo(handle) releases a success that
// came after the caller gave up.
template <typename Handle, typename Call, typename Undo>
LONG RunWithin(std::chrono::milliseconds deadline, const std::atomic<bool>* giveUp, Handle* out, DWORD* protocol,
               Call call, Undo undo, std::atomic<int>* stalled) {
  if (gAbandoned) return SCARD_E_CANCELLED;
  auto pending = std::make_shared<Pending<Handle>>();
  try {
    std::thread([pending, call, undo, stalled] {
      Handle handle = 0;
      DWORD active = 0;
      const LONG result = call(handle, active);
      bool givenUp = false;
      {
        std::lock_guard<std::mutex> guard(pending->lock);
        givenUp = pending->givenUp;
        pending->result = result;
        pending->handle = handle;
        pending->protocol = active;
        pending->finished = true;
      }
      pending->done.notify_all();
      if (givenUp) {
        if (result == SCARD_S_SUCCESS) undo(handle);
        if (stalled) --*stalled;
      }
    }).detach();
  } catch (const std::system_error&) {
    return SCARD_E_NO_MEMORY;
  }
  if (!WaitForHelper(*pending, deadline, giveUp)) {
    if (stalled) ++*stalled;
    return gAbandoned || (giveUp && *giveUp) ? SCARD_E_CANCELLED : SCARD_E_TIMEOUT;
  }
  *out = pending->handle;
  if (protocol) *protocol = pending->protocol;
  return pending->result;
}

}  // namespace

LONG EstablishContextWithin(DWORD scope, SCARDCONTEXT* context, std::chrono::milliseconds deadline,
                            const std::atomic<bool>* giveUp) {
  *context = 0;
  if (gStalledEstablish > 0) return gAbandoned ? SCARD_E_CANCELLED : SCARD_E_TIMEOUT;
  return RunWithin<SCARDCONTEXT>(
      deadline, giveUp, context, nullptr,
      [scope](SCARDCONTEXT& handle, DWORD&) { return SCardEstablishContext(scope, nullptr, nullptr, &handle); },
      [](SCARDCONTEXT handle) { SCardReleaseContext(handle); }, &gStalledEstablish);
}

LONG ConnectWithin(SCARDCONTEXT context, const std::string& reader, DWORD shareMode, DWORD protocols,
                   SCARDHANDLE* card, DWORD* activeProtocol, std::chrono::milliseconds deadline) {
  *card = 0;
  return RunWithin<SCARDHANDLE>(
      deadline, nullptr, card, activeProtocol,
      [context, reader, shareMode, protocols](SCARDHANDLE& handle, DWORD& active) {
        return SCardConnect(context, reader.c_str(), shareMode, protocols, &handle, &active);
      },
      [](SCARDHANDLE handle) { SCardDisconnect(handle, SCARD_LEAVE_CARD); }, nullptr);
}

void AbandonPcscWaits() { gAbandoned = true; }

}  // namespace Platform
