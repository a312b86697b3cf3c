#include "ServiceWait.h"

#include <PCSC/winscard.h>

#include <sys/stat.h>

#include <thread>

#include "EventLog.h"
#include "ProcessProbe.h"
#include "Settings.h"
#include "platform/PcscDeadline.h"

namespace {

constexpr const char* kSCardSvr = "SCardSvr";
constexpr const char* kGslShmSrvc = "GslShmSrvc";

constexpr ServiceWaitParams kWaitParams[] = {
    {kSCardSvr, Settings::kWaitForSCardSvr, Settings::kWaitForSCardSvr2, "Waiting for SCardSvr",
     Res::StringId::WaitingForSCardSvr},
    {kGslShmSrvc, Settings::kWaitForGslShmSrvc, Settings::kWaitForGslShmSrvc2,
     "Waiting for GslShmSrvc", Res::StringId::WaitingForGslShmSrvc},
};

bool IsPending(ServiceState state) {
  return state == ServiceState::StartPending || state == ServiceState::StopPending ||
         state == ServiceState::ContinuePending || state == ServiceState::PausePending;
}

bool UnitInstalled(const std::string& name) {
  struct stat st{};
  for (const char* dir : {"/etc/systemd/system/", "/lib/systemd/system/", "/usr/lib/systemd/system/"}) {
    if (::stat((std::string(dir) + name + ".service").c_str(), &st) == 0) return true;
  }
  return false;
}

}  // namespace

bool SystemServiceControl::Exists(const std::string& name) {
  if (name == kSCardSvr) return true;
  return UnitInstalled(name);
}

std::optional<ServiceState> SystemServiceControl::Query(const std::string& name) {
  if (name == kSCardSvr) {
    SCARDCONTEXT context = 0;
    // A service that does not answer in time is of unknown state.
    const LONG rv = Platform::EstablishContextWithin(SCARD_SCOPE_SYSTEM, &context);
    if (rv == SCARD_S_SUCCESS) {
      SCardReleaseContext(context);
      return ServiceState::Running;
    }
    if (rv == SCARD_E_NO_SERVICE) return ServiceState::Stopped;
    return std::nullopt;
  }
  if (!Exists(name)) return std::nullopt;
  return IsProcessRunning(name) ? ServiceState::Running : ServiceState::Stopped;
}

uint32_t WaitForServiceRunning(IServiceControl& control, const std::string& name,
                               const Sleeper& sleep, int maxPendingPolls) {
  if (!control.Exists(name)) return kServiceUnknown;
  std::optional<ServiceState> state = control.Query(name);
  for (int polls = 0; state && IsPending(*state); ++polls) {
    if (polls >= maxPendingPolls || !sleep(kPendingPollInterval)) return kServiceUnknown;
    state = control.Query(name);
  }
  if (!state) return kServiceUnknown;
  return *state == ServiceState::Running ? kServiceRunning : kServiceNotRunning;
}

uint32_t IsServiceInstalled(IServiceControl& control, const std::string& name) {
  return control.Exists(name) ? 0 : 1;
}

const ServiceWaitParams* FindServiceWaitParams(const std::string& serviceName) {
  for (const ServiceWaitParams& p : kWaitParams) {
    if (serviceName == p.serviceName) return &p;
  }
  return nullptr;
}

uint32_t ClampWaitSeconds(uint32_t profileValue) {
  const auto asSigned = static_cast<int32_t>(profileValue);
  if (asSigned <= 0) return 0;
  return static_cast<uint32_t>(std::min(asSigned, kMaxServiceWaitSeconds));
}

uint32_t RunServiceWait(const ServiceWaitParams& params, IServiceControl& control,
                        const Sleeper& sleep) {
  uint32_t status = WaitForServiceRunning(control, params.serviceName, sleep);
  if (status == kServiceRunning) return status;
  const char* value = status == kServiceNotRunning ? params.notRunningValue : params.unknownValue;
  const uint32_t n = ClampWaitSeconds(Settings::GetInteger(value));
  for (uint32_t i = 0; i < n; ++i) {
    LogEvent(EVENTLOG_WARNING_TYPE, params.eventText);
    if (!sleep(std::chrono::milliseconds(1000))) break;
    status = WaitForServiceRunning(control, params.serviceName, sleep);
    if (status == kServiceRunning) break;
  }
  return status;
}

bool CancellableSleeper::Sleep(std::chrono::milliseconds duration) {
  // Short steps keep a cancel prompt without a condition variable's bookkeeping.
  const auto end = std::chrono::steady_clock::now() + duration;
  while (!cancelled_.load()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return true;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        end - now, std::chrono::milliseconds(20)));
  }
  return false;
}

void CancellableSleeper::Cancel() { cancelled_.store(true); }
