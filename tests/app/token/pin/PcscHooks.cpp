#include "PcscHooks.h"

#include <PCSC/winscard.h>

#include <map>
#include <mutex>

extern "C" {
LONG __real_SCardConnect(SCARDCONTEXT, LPCSTR, DWORD, DWORD, LPSCARDHANDLE, LPDWORD);
LONG __real_SCardReconnect(SCARDHANDLE, DWORD, DWORD, DWORD, LPDWORD);
LONG __real_SCardBeginTransaction(SCARDHANDLE);
LONG __real_SCardEndTransaction(SCARDHANDLE, DWORD);
LONG __real_SCardTransmit(SCARDHANDLE, const SCARD_IO_REQUEST*, LPCBYTE, DWORD, SCARD_IO_REQUEST*,
                          LPBYTE, LPDWORD);
}

namespace PcscHooks {
namespace {

thread_local bool t_testSide = false;

std::mutex g_lock;
std::function<void()> g_afterConnect;
std::function<void()> g_beforeCardCall;
std::function<void()> g_afterTransmit;
std::map<std::string, int> g_counts;

// Counts the call; true when it comes from the code under test.
bool UnderTest(const char* function) {
  if (t_testSide) return false;
  std::lock_guard<std::mutex> guard(g_lock);
  ++g_counts[function];
  return true;
}

void Run(const std::function<void()>& slot) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    hook = slot;
  }
  if (!hook) return;
  TestSide side;
  hook();
}

}  // namespace

TestSide::TestSide() : previous_(t_testSide) { t_testSide = true; }
TestSide::~TestSide() { t_testSide = previous_; }

void SetAfterConnect(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_afterConnect = std::move(hook);
}

void SetBeforeCardCall(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_beforeCardCall = std::move(hook);
}

void SetAfterTransmit(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_afterTransmit = std::move(hook);
}

void Clear() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_afterConnect = nullptr;
  g_beforeCardCall = nullptr;
  g_afterTransmit = nullptr;
  g_counts.clear();
}

int Count(const std::string& function) {
  std::lock_guard<std::mutex> guard(g_lock);
  const auto found = g_counts.find(function);
  return found == g_counts.end() ? 0 : found->second;
}

bool ResetCardFromAnotherConnection(const std::string& reader) {
  TestSide side;
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
    return false;
  }
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  bool ok = SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol) == SCARD_S_SUCCESS;
  if (ok) ok = SCardDisconnect(card, SCARD_RESET_CARD) == SCARD_S_SUCCESS;
  SCardReleaseContext(context);
  return ok;
}

}  // namespace PcscHooks

using PcscHooks::Run;
using PcscHooks::UnderTest;

extern "C" {

LONG __wrap_SCardConnect(SCARDCONTEXT context, LPCSTR reader, DWORD share, DWORD protocols,
                         LPSCARDHANDLE card, LPDWORD active) {
  const LONG rv = __real_SCardConnect(context, reader, share, protocols, card, active);
  if (UnderTest("SCardConnect") && rv == SCARD_S_SUCCESS) Run(PcscHooks::g_afterConnect);
  return rv;
}

LONG __wrap_SCardReconnect(SCARDHANDLE card, DWORD share, DWORD protocols, DWORD initialization,
                           LPDWORD active) {
  const LONG rv = __real_SCardReconnect(card, share, protocols, initialization, active);
  if (UnderTest("SCardReconnect") && rv == SCARD_S_SUCCESS) Run(PcscHooks::g_afterConnect);
  return rv;
}

LONG __wrap_SCardBeginTransaction(SCARDHANDLE card) {
  if (UnderTest("SCardBeginTransaction")) Run(PcscHooks::g_beforeCardCall);
  return __real_SCardBeginTransaction(card);
}

LONG __wrap_SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
  UnderTest("SCardEndTransaction");
  return __real_SCardEndTransaction(card, disposition);
}

LONG __wrap_SCardTransmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, LPCBYTE send,
                          DWORD sendLength, SCARD_IO_REQUEST* receivePci, LPBYTE receive,
                          LPDWORD receiveLength) {
  const bool underTest = UnderTest("SCardTransmit");
  if (underTest) Run(PcscHooks::g_beforeCardCall);
  const LONG rv =
      __real_SCardTransmit(card, sendPci, send, sendLength, receivePci, receive, receiveLength);
  if (underTest) Run(PcscHooks::g_afterTransmit);
  return rv;
}

}  // extern "C"
