// The card monitor: a worker thread blocking in the PC/SC status-change call on every
// reader and on the plug-and-play pseudo-reader. It identifies inserted cards, reads
// their tokens and registers their certificates, unregisters them when the card leaves
// (or is replaced by another, or its reader becomes unavailable), follows reader changes
// (reading the cards that stay again), and on a failing status call unregisters everything and stops
// (the application then calls OnRestartTimer every 10 s until detection runs again).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CertificateRegistrar.h"
#include "MonitorHost.h"
#include "Pcsc.h"

// What one reader's change of state means to the monitor: a card that stays PRESENT
// with another event count or answer-to-reset is another card (Swap).
enum class ReaderEvent { None, Insertion, Removal, Unavailable, Swap };
ReaderEvent ClassifyReaderEvent(DWORD current, DWORD event, const std::vector<uint8_t>& atrBefore,
                                const std::vector<uint8_t>& atrNow);

class CardMonitor {
 public:
  static constexpr int kRestartIntervalMs = 10000;  // the restart timer 20110207

  CardMonitor(IMonitorHost& host, CertificateRegistrar& registrar, IPcsc& pcsc = SystemPcsc());
  ~CardMonitor();
  CardMonitor(const CardMonitor&) = delete;
  CardMonitor& operator=(const CardMonitor&) = delete;

  // Starts the thread, which establishes the context; when PC/SC cannot be reached it logs,
  // queues the balloon (when showError), asks for the restart timer and ends. False (with
  // the balloon when showError) when the thread cannot be made.
  bool StartCardDetection(bool showError);
  // Waits for the thread and releases the PC/SC resources. Does not cancel the wait.
  void StopCardDetection();
  // Cancels the blocking call, lets the thread unregister every certificate, stops.
  void Shutdown();
  // The program ends: the thread is told to stop and a helper of its own cancels its
  // wait; nothing here calls PC/SC or waits, whatever the service does.
  void RequestStop();
  // Whether the thread ended within `limit` (the end's grace).
  bool WaitStopped(std::chrono::milliseconds limit);
  // The restart timer fired (interface thread): false when the timer must be armed again
  // at once; a detection that fails later asks for it through the host.
  bool OnRestartTimer();
  bool Running() const;

  // The main window's reader and the name of the card in it.
  std::string CurrentReader() const;
  std::string CardName() const;
  void SetCurrentReader(const std::string& reader);
  // Whether a card is in the reader as far as detection knows: false from the moment its
  // removal is seen, before its certificates are taken out of the store.
  bool HasCard(const std::string& reader) const;
  // The readers being watched, the pseudo-reader excluded.
  std::set<std::string> GetReaderNameSet() const;
  // The same in the service's order.
  std::vector<std::string> GetReaderNames() const;

 private:
  void Run(bool showError);
  bool EstablishContext(bool showError);
  void RebuildReaderStates(bool listReaders);
  // `reread`: a card already known, read again quietly after the modules were initialised.
  void OnInsertion(const std::string& reader, const std::vector<uint8_t>& atr, bool reread = false);
  // The insertion road from the card's type on; `announce` adds the balloons and the notice.
  void ReadCard(const std::string& reader, const std::string& cardName, bool announce);
  void OnRemoval(const std::string& reader);
  void OnUnavailable(const std::string& reader);
  void OnReaderChange(bool first);
  void OnError(LONG result);
  void RegisterSlots(PKCS11Base* token, const std::string& typeKey, uint32_t extraSlots,
                     const std::string& reader, std::string& csp, std::string& ksp, bool activate);
  void LoadReaderPrompts(const std::string& reader);
  bool InsertionBalloonsOn() const;
  // The stop's helper: cancels the wait until the thread has ended (a cancel reaches only
  // a wait in progress).
  void CancelUntilStopped();

  IMonitorHost& host_;
  CertificateRegistrar& registrar_;
  IPcsc& pcsc_;

  std::thread thread_;
  std::thread canceller_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  std::condition_variable stopped_;

  // Shared with the interface thread.
  mutable std::mutex lock_;
  SCARDCONTEXT context_ = 0;  // set by the thread once established
  bool hasContext_ = false;
  std::vector<ReaderStateEntry> states_;  // the readers, then the pseudo-reader
  std::string currentReader_;
  std::string cardName_;
  std::set<std::string> cards_;  // the readers with a card
};
