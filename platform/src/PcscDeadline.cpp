#include "platform/PcscDeadline.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

constexpr const char* kDefaultServiceSocket = "/run/pcscd/pcscd.comm";

// pcsc-lite's client/server messages: a header of two native 32-bit words (body size,
// command), then the body. The version request's body is {major, minor, result}; the
// service answers with the same body at once, whatever the version.
constexpr uint32_t kVersionCommand = 0x11;
constexpr int32_t kProtocolMajor = 4;
constexpr int32_t kProtocolMinor = 4;  // pcsc-lite 1.9
struct VersionBody {
  int32_t major;
  int32_t minor;
  uint32_t result;
};
struct VersionRequest {
  uint32_t size;
  uint32_t command;
  VersionBody body;
};
static_assert(sizeof(VersionRequest) == 20, "the wire layout has no padding");

class Socket {
 public:
  Socket() : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int Fd() const { return fd_; }

 private:
  int fd_;
};

bool Stopping(const std::atomic<bool>* giveUp) { return gAbandoned || (giveUp && *giveUp); }

// Waits for `events` in short steps, so that a stop is seen. 1 ready, 0 deadline, -1 stopped.
int WaitForSocket(int fd, short events, std::chrono::steady_clock::time_point end, const std::atomic<bool>* giveUp) {
  for (;;) {
    if (Stopping(giveUp)) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    pollfd entry{fd, events, 0};
    const int n = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 50)));
    if (n > 0) return 1;
    if (n < 0 && errno != EINTR) return 1;  // let the read or write report it
  }
}

}  // namespace

std::string PcscServiceSocketPath() {
  const char* path = std::getenv("PCSCLITE_CSOCK_NAME");
  return path && *path ? path : kDefaultServiceSocket;
}

PcscServiceAnswer ProbePcscService(const std::string& socketPath, std::chrono::milliseconds deadline,
                                   const std::atomic<bool>* giveUp) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  Socket socket;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket.Fd() < 0 || socketPath.size() >= sizeof address.sun_path) return PcscServiceAnswer::NotRunning;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  // A full backlog (EAGAIN) is a service too busy to take us yet: try again until the deadline.
  while (::connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return PcscServiceAnswer::NotRunning;
    if (Stopping(giveUp)) return PcscServiceAnswer::GivenUp;
    if (std::chrono::steady_clock::now() >= end) return PcscServiceAnswer::Silent;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  const VersionRequest request{sizeof(VersionBody), kVersionCommand, {kProtocolMajor, kProtocolMinor, 0}};
  const auto* bytes = reinterpret_cast<const char*>(&request);
  size_t sent = 0;
  while (sent < sizeof request) {
    const ssize_t n = ::send(socket.Fd(), bytes + sent, sizeof request - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return PcscServiceAnswer::Answers;  // it closed: pcsc-lite fails at once too
    const int ready = WaitForSocket(socket.Fd(), POLLOUT, end, giveUp);
    if (ready < 0) return PcscServiceAnswer::GivenUp;
    if (ready == 0) return PcscServiceAnswer::Silent;
  }
  // Any answer will do, even a refusal or a closed connection: the service is not stuck.
  const int ready = WaitForSocket(socket.Fd(), POLLIN, end, giveUp);
  if (ready < 0) return PcscServiceAnswer::GivenUp;
  if (ready == 0) return PcscServiceAnswer::Silent;
  VersionBody answer{};
  [[maybe_unused]] const ssize_t n = ::recv(socket.Fd(), &answer, sizeof answer, 0);
  return PcscServiceAnswer::Answers;
}

LONG EstablishContextWithin(DWORD scope, SCARDCONTEXT* context, std::chrono::milliseconds deadline,
                            const std::atomic<bool>* giveUp) {
  *context = 0;
  if (gAbandoned) return SCARD_E_CANCELLED;
  if (gStalledEstablish > 0) return SCARD_E_TIMEOUT;
  const auto start = std::chrono::steady_clock::now();
  switch (ProbePcscService(PcscServiceSocketPath(), deadline, giveUp)) {
    case PcscServiceAnswer::NotRunning: return SCARD_E_NO_SERVICE;
    case PcscServiceAnswer::Silent: return SCARD_E_TIMEOUT;
    case PcscServiceAnswer::GivenUp: return SCARD_E_CANCELLED;
    case PcscServiceAnswer::Answers: break;
  }
  // The rest of the deadline, but never so little that a service that just answered
  // would be given up on.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - (std::chrono::steady_clock::now() - start));
  return RunWithin<SCARDCONTEXT>(
      std::max(left, deadline / 2), giveUp, context, nullptr,
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
