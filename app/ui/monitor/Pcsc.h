// The PC/SC calls of the card monitor, behind an interface so that reader hot-plug and
// rare result codes can be driven by a scripted fake; SystemPcsc() is pcsc-lite.
#pragma once

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// One entry of a status-change call. The ATR holds as many bytes as the reader reported.
struct ReaderStateEntry {
  std::string reader;
  DWORD currentState = 0;
  DWORD eventState = 0;
  std::vector<uint8_t> atr;
};

// pcsc-lite's name of the plug-and-play pseudo-reader.
inline constexpr const char* kPnpNotification = "\\\\?PnP?\\Notification";

class IPcsc {
 public:
  virtual ~IPcsc() = default;
  // Gives up (SCARD_E_CANCELLED) once `stopping` is set; a service that does not answer
  // is given up on after a few seconds.
  virtual LONG EstablishContext(SCARDCONTEXT* context, const std::atomic<bool>& stopping) = 0;
  virtual LONG ReleaseContext(SCARDCONTEXT context) = 0;
  // The reader names in the service's order; SCARD_E_NO_READERS_AVAILABLE for none.
  virtual LONG ListReaders(SCARDCONTEXT context, std::vector<std::string>& readers) = 0;
  // Blocks until a state differs from its current state (or the time-out); fills the
  // event states and ATRs.
  virtual LONG GetStatusChange(SCARDCONTEXT context, DWORD timeoutMs, std::vector<ReaderStateEntry>& states) = 0;
  virtual LONG Cancel(SCARDCONTEXT context) = 0;
  virtual LONG Connect(SCARDCONTEXT context, const std::string& reader, DWORD shareMode, DWORD protocols,
                       SCARDHANDLE* card, DWORD* activeProtocol) = 0;
  virtual LONG Disconnect(SCARDHANDLE card, DWORD disposition) = 0;
};

IPcsc& SystemPcsc();
