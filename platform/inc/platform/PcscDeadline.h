// Deadlines for the PC/SC calls that can wait for ever.
//
// pcsc-lite's client waits without limit for a service that accepted the connection but
// does not answer, and establishing a context holds the library's process-wide lock
// meanwhile, so one such call stalls every PC/SC call of the process. The calls here run
// on a helper thread and give up at their deadline with SCARD_E_TIMEOUT; the helper is
// left behind until the service answers or goes away, and then undoes what it got. While
// a helper that establishes a context is left behind, further attempts give up at once:
// they would only queue behind it.
//
// A helper left inside pcsc-lite would keep that lock for good, and with it every later
// PC/SC call of the process, a vendor module's included. So before a context is asked
// for, the service's socket is probed directly, with one exchange that pcscd answers at
// once: only a service that answers is given to pcsc-lite.
#pragma once

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <atomic>
#include <chrono>
#include <string>

namespace Platform {

// A working service answers in milliseconds; pcscd started on demand in well under a second.
inline constexpr std::chrono::milliseconds kPcscContextDeadline{3000};
// Connecting powers the card up, which a slow card may take a few seconds for.
inline constexpr std::chrono::milliseconds kPcscConnectDeadline{5000};

// What the service's socket showed.
enum class PcscServiceAnswer {
  NotRunning,  // no socket, or nobody listening on it
  Silent,      // it took the connection and did not answer in time
  Answers,     // it answered (or closed the connection: pcsc-lite would not wait either)
  GivenUp,     // the caller stopped, or the program is ending
};

// The socket pcsc-lite's client talks to: $PCSCLITE_CSOCK_NAME, else pcscd's own.
std::string PcscServiceSocketPath();

// Asks the service for its protocol version, on the calling thread, without pcsc-lite.
PcscServiceAnswer ProbePcscService(const std::string& socketPath, std::chrono::milliseconds deadline,
                                   const std::atomic<bool>* giveUp = nullptr);

// Probes the service first: no socket gives SCARD_E_NO_SERVICE at once and a silent one
// SCARD_E_TIMEOUT at the deadline, both without a pcsc-lite call.
// `giveUp`, when given, ends the wait early once it is set (the caller is stopping).
LONG EstablishContextWithin(DWORD scope, SCARDCONTEXT* context,
                            std::chrono::milliseconds deadline = kPcscContextDeadline,
                            const std::atomic<bool>* giveUp = nullptr);

// A connect that gives up leaves the context in use by its helper: the caller must forget
// the context without releasing it (the release would wait for the helper, holding the
// library's lock).
LONG ConnectWithin(SCARDCONTEXT context, const std::string& reader, DWORD shareMode, DWORD protocols,
                   SCARDHANDLE* card, DWORD* activeProtocol,
                   std::chrono::milliseconds deadline = kPcscConnectDeadline);

// The program is ending: every wait above gives up at once (SCARD_E_CANCELLED), now and
// later. Safe in a signal handler.
void AbandonPcscWaits();

}  // namespace Platform
