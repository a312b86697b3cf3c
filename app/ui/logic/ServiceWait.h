// Waiting at start-up for the services the card modules need: the smart-card service
// ("SCardSvr", pcscd here) and the Gemalto service ("GslShmSrvc", not installed here).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Strings.h"

// A service's state with the Windows numbers.
enum class ServiceState : uint32_t {
  Stopped = 1,
  StartPending = 2,
  StopPending = 3,
  Running = 4,
  ContinuePending = 5,
  PausePending = 6,
  Paused = 7,
};

inline constexpr uint32_t kServiceRunning = 0;
inline constexpr uint32_t kServiceNotRunning = 1;
inline constexpr uint32_t kServiceUnknown = 2;

// What the platform can tell about a service.
class IServiceControl {
 public:
  virtual ~IServiceControl() = default;
  virtual bool Exists(const std::string& name) = 0;
  // The current state; none when it cannot be read.
  virtual std::optional<ServiceState> Query(const std::string& name) = 0;
};

// The services of this machine: "SCardSvr" runs when a PC/SC context can be established;
// "GslShmSrvc" exists only where a systemd unit of that name is installed, and runs when a
// process of that name does.
class SystemServiceControl : public IServiceControl {
 public:
  bool Exists(const std::string& name) override;
  std::optional<ServiceState> Query(const std::string& name) override;
};

// Sleeps for the given time unless cancelled; false when cancelled.
using Sleeper = std::function<bool(std::chrono::milliseconds)>;

// A pending state is polled every 500 ms at most this many times (30 s) before the
// state counts as unknown, so a service stuck in a pending state cannot hold start-up.
inline constexpr int kMaxPendingPolls = 60;
inline constexpr std::chrono::milliseconds kPendingPollInterval{500};

// 0 running, 1 any other settled state, 2 unknown (unreadable, absent, or still pending
// after the bound).
uint32_t WaitForServiceRunning(IServiceControl& control, const std::string& name,
                               const Sleeper& sleep, int maxPendingPolls = kMaxPendingPolls);

// 0 the service exists, 1 it does not.
uint32_t IsServiceInstalled(IServiceControl& control, const std::string& name);

struct ServiceWaitParams {
  const char* serviceName;
  const char* notRunningValue;  // profile value read when the service is not running
  const char* unknownValue;     // profile value read when its state is unknown
  const char* eventText;        // written once per second of waiting
  Res::StringId dialogText;
};

// The parameters of "SCardSvr" and "GslShmSrvc"; null for any other name.
const ServiceWaitParams* FindServiceWaitParams(const std::string& serviceName);

// The longest wait the profile can ask for, in seconds (the settings page takes three
// digits). The value is read as signed: a negative one waits no time.
inline constexpr int32_t kMaxServiceWaitSeconds = 999;
uint32_t ClampWaitSeconds(uint32_t profileValue);

// The service-wait thread's work: when the service is not running, up to n times (n from
// the profile, clamped) write the event text, sleep a second and look again. Returns the
// last status. A cancelled sleep ends it at once.
uint32_t RunServiceWait(const ServiceWaitParams& params, IServiceControl& control,
                        const Sleeper& sleep);

// A sleeper that a stop flag cancels (for the program's wait thread).
class CancellableSleeper {
 public:
  bool Sleep(std::chrono::milliseconds duration);
  void Cancel();
  Sleeper AsSleeper() {
    return [this](std::chrono::milliseconds d) { return Sleep(d); };
  }

 private:
  std::atomic<bool> cancelled_{false};
};
