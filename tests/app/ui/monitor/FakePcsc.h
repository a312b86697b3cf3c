// A scripted PC/SC service for the card monitor's tests. It keeps a small world of
// readers and cards and answers the status-change call the way pcsc-lite does: a reader's
// state carries an event counter in its high 16 bits, the pseudo-reader's high word
// changes with the reader set, a changed entry gets CHANGED, and the call blocks while
// nothing differs from the caller's current states. A cancel reaches only a wait in
// progress. Rare results are injected for the next wait or the next context.
#pragma once

#include "Pcsc.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class FakePcsc : public IPcsc {
 public:
  // Counters start high so that any test of the flags by equality would be caught.
  static constexpr uint16_t kFirstCounter = 0xFFFD;

  // --- the world -----------------------------------------------------------------
  void AddReader(const std::string& name, std::vector<uint8_t> atr = {}, bool withCard = false) {
    std::lock_guard<std::mutex> guard(lock_);
    readers_.push_back(Reader{name, withCard, false, false, std::move(atr), kFirstCounter});
    ++pnpCounter_;
    Moved();
  }
  void RemoveReader(const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = readers_.begin(); it != readers_.end(); ++it)
      if (it->name == name) {
        readers_.erase(it);
        break;
      }
    ++pnpCounter_;
    Moved();
  }
  void InsertCard(const std::string& reader, std::vector<uint8_t> atr, bool mute = false) {
    Change(reader, [&](Reader& r) {
      r.present = true;
      r.mute = mute;
      r.atr = std::move(atr);
    });
  }
  void RemoveCard(const std::string& reader) {
    Change(reader, [](Reader& r) {
      r.present = false;
      r.mute = false;
      r.atr.clear();
    });
  }
  // The card pulled and another put in between two calls: the reader stays PRESENT and its
  // event count moves by two (the removal and the insertion), as pcsc-lite's does.
  void SwapCard(const std::string& reader, std::vector<uint8_t> atr) {
    std::lock_guard<std::mutex> guard(lock_);
    for (Reader& r : readers_)
      if (r.name == reader) {
        r.present = true;
        r.mute = false;
        r.atr = std::move(atr);
        r.counter = static_cast<uint16_t>(r.counter + 2);
      }
    Moved();
  }
  // The reader goes unavailable, or (false) is back with its card as it was.
  void SetUnavailable(const std::string& reader, bool unavailable = true) {
    Change(reader, [unavailable](Reader& r) { r.unavailable = unavailable; });
  }
  // The wait in progress, or the next one, returns this.
  void FailNextWait(LONG result) {
    std::lock_guard<std::mutex> guard(lock_);
    failure_ = result;
    Moved();
  }
  // While down, contexts cannot be established.
  void SetServiceUp(bool up) {
    std::lock_guard<std::mutex> guard(lock_);
    serviceUp_ = up;
  }

  // --- what the monitor did ------------------------------------------------------
  // True once the monitor blocks in the status call with every change of the world
  // so far reported and handled.
  bool WaitUntilBlocked(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> guard(lock_);
    return blockedChanged_.wait_for(guard, limit, [this] { return blocked_ && blockedAt_ == version_; });
  }
  std::vector<std::string> Calls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
  }
  size_t Count(const std::string& call) const {
    size_t n = 0;
    for (const std::string& c : Calls()) n += c == call;
    return n;
  }
  void ClearCalls() {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.clear();
  }
  int OpenContexts() const {
    std::lock_guard<std::mutex> guard(lock_);
    return openContexts_;
  }

  // --- IPcsc -----------------------------------------------------------------------
  LONG EstablishContext(SCARDCONTEXT* context, const std::atomic<bool>&) override {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back("EstablishContext");
    if (!serviceUp_) return static_cast<LONG>(SCARD_E_NO_SERVICE);
    *context = ++lastContext_;
    ++openContexts_;
    return SCARD_S_SUCCESS;
  }
  LONG ReleaseContext(SCARDCONTEXT) override {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back("ReleaseContext");
    --openContexts_;
    return SCARD_S_SUCCESS;
  }
  LONG ListReaders(SCARDCONTEXT, std::vector<std::string>& readers) override {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back("ListReaders");
    if (readers_.empty()) return static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE);
    for (const Reader& r : readers_) readers.push_back(r.name);
    return SCARD_S_SUCCESS;
  }
  LONG GetStatusChange(SCARDCONTEXT, DWORD, std::vector<ReaderStateEntry>& states) override {
    std::unique_lock<std::mutex> guard(lock_);
    calls_.push_back("GetStatusChange");
    for (;;) {
      if (failure_) {
        LONG rv = *failure_;
        failure_.reset();
        return rv;
      }
      if (cancelled_) {
        cancelled_ = false;
        return static_cast<LONG>(SCARD_E_CANCELLED);
      }
      if (Fill(states)) return SCARD_S_SUCCESS;
      blocked_ = true;
      blockedAt_ = version_;
      blockedChanged_.notify_all();
      changed_.wait(guard);
      blocked_ = false;
    }
  }
  LONG Cancel(SCARDCONTEXT) override {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back("Cancel");
    if (blocked_) {
      cancelled_ = true;
      changed_.notify_all();
    }
    return SCARD_S_SUCCESS;
  }
  LONG Connect(SCARDCONTEXT, const std::string& reader, DWORD shareMode, DWORD, SCARDHANDLE* card,
               DWORD* protocol) override {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back("Connect " + reader + (shareMode == SCARD_SHARE_DIRECT ? " direct" : " shared"));
    const Reader* r = Find(reader);
    if (!r) return static_cast<LONG>(SCARD_E_UNKNOWN_READER);
    if (shareMode != SCARD_SHARE_DIRECT && !r->present) return static_cast<LONG>(SCARD_E_NO_SMARTCARD);
    *card = 1;
    *protocol = shareMode == SCARD_SHARE_DIRECT ? 0 : SCARD_PROTOCOL_T1;
    return SCARD_S_SUCCESS;
  }
  LONG Disconnect(SCARDHANDLE, DWORD) override {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back("Disconnect");
    return SCARD_S_SUCCESS;
  }

 private:
  struct Reader {
    std::string name;
    bool present = false;
    bool mute = false;
    bool unavailable = false;
    std::vector<uint8_t> atr;
    uint16_t counter = 0;

    DWORD State() const {
      DWORD flags = unavailable ? SCARD_STATE_UNAVAILABLE
                    : present   ? SCARD_STATE_PRESENT | (mute ? SCARD_STATE_MUTE : 0)
                                : SCARD_STATE_EMPTY;
      return flags | (static_cast<DWORD>(counter) << 16);
    }
  };

  void Moved() {
    ++version_;
    changed_.notify_all();
  }

  template <typename F>
  void Change(const std::string& reader, F change) {
    std::lock_guard<std::mutex> guard(lock_);
    for (Reader& r : readers_)
      if (r.name == reader) {
        change(r);
        ++r.counter;  // wraps past 0xFFFF as pcsc-lite's does
      }
    Moved();
  }

  const Reader* Find(const std::string& name) const {
    for (const Reader& r : readers_)
      if (r.name == name) return &r;
    return nullptr;
  }

  // Fills the event states; true when any differs from its current state.
  bool Fill(std::vector<ReaderStateEntry>& states) const {
    bool any = false;
    for (ReaderStateEntry& entry : states) {
      DWORD state;
      bool differs;
      if (entry.reader == kPnpNotification) {
        state = static_cast<DWORD>(pnpCounter_) << 16;
        differs = (entry.currentState & 0xFFFF0000u) != state;
        entry.atr.clear();
      } else if (const Reader* r = Find(entry.reader)) {
        state = r->State();
        differs = (entry.currentState & ~static_cast<DWORD>(SCARD_STATE_CHANGED)) != state;
        entry.atr = r->present ? r->atr : std::vector<uint8_t>();
      } else {
        state = SCARD_STATE_UNKNOWN;
        differs = !(entry.currentState & SCARD_STATE_UNKNOWN);
        entry.atr.clear();
      }
      entry.eventState = state | (differs ? SCARD_STATE_CHANGED : 0);
      any |= differs;
    }
    return any;
  }

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::condition_variable blockedChanged_;
  std::vector<Reader> readers_;
  uint16_t pnpCounter_ = 0;
  std::optional<LONG> failure_;
  bool cancelled_ = false;
  bool blocked_ = false;
  uint64_t version_ = 0;    // one step per change of the world
  uint64_t blockedAt_ = 0;  // the version the last wait blocked at
  bool serviceUp_ = true;
  SCARDCONTEXT lastContext_ = 0;
  int openContexts_ = 0;
  std::vector<std::string> calls_;
};
