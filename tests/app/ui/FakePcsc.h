// A PC/SC service in memory for the application's tests: readers come and go, cards go in
// and out, and the status-change wait blocks until something moves or it is cancelled.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Pcsc.h"

namespace UiTest {

class FakePcsc : public IPcsc {
 public:
  void AddReader(const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    readers_[name];
    order_.push_back(name);
    ++readerVersion_;
    changed_.notify_all();
  }
  void Insert(const std::string& reader, const std::vector<uint8_t>& atr) {
    std::lock_guard<std::mutex> guard(lock_);
    Reader& r = readers_[reader];
    r.atr = atr;
    r.present = true;
    ++r.counter;
    changed_.notify_all();
  }
  void Remove(const std::string& reader) {
    std::lock_guard<std::mutex> guard(lock_);
    Reader& r = readers_[reader];
    r.atr.clear();
    r.present = false;
    ++r.counter;
    changed_.notify_all();
  }
  // The next (or the running) status-change wait returns this code.
  void FailWait(LONG code) {
    std::lock_guard<std::mutex> guard(lock_);
    failure_ = code;
    changed_.notify_all();
  }
  void SetEstablishResult(LONG code) {
    std::lock_guard<std::mutex> guard(lock_);
    establish_ = code;
  }
  int Waits() const {
    std::lock_guard<std::mutex> guard(lock_);
    return waits_;
  }

  LONG EstablishContext(SCARDCONTEXT* context) override {
    std::lock_guard<std::mutex> guard(lock_);
    *context = 1;
    if (establish_ == SCARD_S_SUCCESS) failure_ = SCARD_S_SUCCESS;
    return establish_;
  }
  LONG ReleaseContext(SCARDCONTEXT) override { return SCARD_S_SUCCESS; }
  LONG ListReaders(SCARDCONTEXT, std::vector<std::string>& readers) override {
    std::lock_guard<std::mutex> guard(lock_);
    readers = order_;
    return readers.empty() ? static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE) : SCARD_S_SUCCESS;
  }
  LONG GetStatusChange(SCARDCONTEXT, DWORD, std::vector<ReaderStateEntry>& states) override {
    std::unique_lock<std::mutex> guard(lock_);
    ++waits_;
    for (;;) {
      if (cancelled_) {
        cancelled_ = false;
        return SCARD_E_CANCELLED;
      }
      if (failure_ != SCARD_S_SUCCESS) return failure_;
      bool any = false;
      for (ReaderStateEntry& entry : states) {
        DWORD event = 0;
        if (entry.reader == kPnpNotification) {
          event = static_cast<DWORD>(readerVersion_) << 16;
        } else if (auto found = readers_.find(entry.reader); found != readers_.end()) {
          const Reader& r = found->second;
          event = (static_cast<DWORD>(r.counter) << 16) | (r.present ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY);
          entry.atr = r.atr;
        } else {
          event = SCARD_STATE_UNKNOWN;
        }
        if ((entry.currentState & ~static_cast<DWORD>(SCARD_STATE_CHANGED)) != event) {
          event |= SCARD_STATE_CHANGED;
          any = true;
        }
        entry.eventState = event;
      }
      if (any) return SCARD_S_SUCCESS;
      changed_.wait(guard);
    }
  }
  LONG Cancel(SCARDCONTEXT) override {
    std::lock_guard<std::mutex> guard(lock_);
    cancelled_ = true;
    changed_.notify_all();
    return SCARD_S_SUCCESS;
  }
  LONG Connect(SCARDCONTEXT, const std::string&, DWORD, DWORD, SCARDHANDLE*, DWORD*) override {
    return SCARD_E_NO_SMARTCARD;
  }
  LONG Disconnect(SCARDHANDLE, DWORD) override { return SCARD_S_SUCCESS; }

 private:
  struct Reader {
    bool present = false;
    std::vector<uint8_t> atr;
    unsigned counter = 0;
  };
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::map<std::string, Reader> readers_;
  std::vector<std::string> order_;
  unsigned readerVersion_ = 0;
  LONG failure_ = SCARD_S_SUCCESS;
  LONG establish_ = SCARD_S_SUCCESS;
  bool cancelled_ = false;
  int waits_ = 0;
};

}  // namespace UiTest
