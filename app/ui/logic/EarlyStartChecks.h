// The start-up checks that decide nothing by themselves, begun before Qt starts so that
// their waits (the smart-card service's answer, the process list, OpenSSL's set-up)
// overlap Qt's own start instead of adding to it. The program takes each first answer
// where it used to ask; whatever it asks later is asked afresh.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ServiceWait.h"

namespace TvrCrypto {
class CryptoAlgJanitor;
}

class EarlyStartChecks {
 public:
  struct Answers {
    bool certificateManagerRuns = false;
    uint32_t smartCardService = kServiceUnknown;  // as WaitForServiceRunning gives it
  };

  // Starts the checks at once, on their own threads.
  EarlyStartChecks(IServiceControl& services, std::string certificateManagerProcess);
  // Cancels a pending wait and joins; OpenSSL's set-up is given back.
  ~EarlyStartChecks();
  EarlyStartChecks(const EarlyStartChecks&) = delete;
  EarlyStartChecks& operator=(const EarlyStartChecks&) = delete;

  bool Done() const;
  // Valid once Done().
  Answers Get() const;
  // `wake` runs once the answers are in: on a checking thread, or at once when they are
  // already in. Null takes a previous one back (its owner is going).
  void WhenDone(std::function<void()> wake);
  // A service in a pending state is not waited for any longer (its answer: unknown).
  void Cancel();

 private:
  void Finished();

  CancellableSleeper sleeper_;
  mutable std::mutex mutex_;
  int running_ = 2;
  Answers answers_;
  std::function<void()> wake_;
  std::unique_ptr<TvrCrypto::CryptoAlgJanitor> openssl_;
  std::thread service_;
  std::thread local_;
};
