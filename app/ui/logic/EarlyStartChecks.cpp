#include "EarlyStartChecks.h"

#include "CryptoAlgJanitor.h"
#include "ProcessProbe.h"

EarlyStartChecks::EarlyStartChecks(IServiceControl& services, std::string certificateManagerProcess) {
  // The service's answer is a round trip to another process: it gets a thread of its own.
  service_ = std::thread([this, &services] {
    const uint32_t state = WaitForServiceRunning(services, "SCardSvr", sleeper_.AsSleeper());
    {
      const std::lock_guard<std::mutex> guard(mutex_);
      answers_.smartCardService = state;
    }
    Finished();
  });
  local_ = std::thread([this, name = std::move(certificateManagerProcess)] {
    const bool runs = IsProcessRunning(name);
    auto openssl = std::make_unique<TvrCrypto::CryptoAlgJanitor>();
    {
      const std::lock_guard<std::mutex> guard(mutex_);
      answers_.certificateManagerRuns = runs;
      openssl_ = std::move(openssl);
    }
    Finished();
  });
}

EarlyStartChecks::~EarlyStartChecks() {
  WhenDone(nullptr);
  Cancel();
  service_.join();
  local_.join();
}

void EarlyStartChecks::Finished() {
  // Under the lock: once WhenDone(nullptr) has returned, the owner's wake is not running.
  const std::lock_guard<std::mutex> guard(mutex_);
  if (--running_ == 0 && wake_) wake_();
}

bool EarlyStartChecks::Done() const {
  const std::lock_guard<std::mutex> guard(mutex_);
  return running_ == 0;
}

EarlyStartChecks::Answers EarlyStartChecks::Get() const {
  const std::lock_guard<std::mutex> guard(mutex_);
  return answers_;
}

void EarlyStartChecks::WhenDone(std::function<void()> wake) {
  std::unique_lock<std::mutex> guard(mutex_);
  if (running_ > 0) {
    wake_ = std::move(wake);
    return;
  }
  wake_ = nullptr;
  guard.unlock();
  if (wake) wake();
}

void EarlyStartChecks::Cancel() { sleeper_.Cancel(); }
