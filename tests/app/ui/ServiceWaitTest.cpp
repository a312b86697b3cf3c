#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <thread>

#include "EarlyStartChecks.h"
#include "ServiceWait.h"
#include "UiTestSupport.h"
#include "platform/Profile.h"

namespace {

// A service whose answers come from a script; the last answer repeats.
class ScriptedServices : public IServiceControl {
 public:
  bool Exists(const std::string&) override { return exists; }
  std::optional<ServiceState> Query(const std::string&) override {
    ++queries;
    if (states.size() > 1) {
      auto s = states.front();
      states.pop_front();
      return s;
    }
    return states.empty() ? std::nullopt : states.front();
  }
  bool exists = true;
  std::deque<std::optional<ServiceState>> states;
  int queries = 0;
};

class ServiceWaitTest : public ::testing::Test {
 protected:
  ServiceWaitTest() {
    profile.WriteDword("", "EventLogLevel", 3);
  }
  Sleeper sleeper = [this](std::chrono::milliseconds d) {
    sleeps.push_back(d.count());
    return true;
  };
  const ServiceWaitParams& scard = *FindServiceWaitParams("SCardSvr");
  UiTest::ProfileSandbox sandbox;
  Platform::Profile profile{{}, Platform::Profile::Scope::User};
  ScriptedServices services;
  std::vector<long> sleeps;
};

TEST_F(ServiceWaitTest, SettledStates) {
  services.states = {ServiceState::Running};
  EXPECT_EQ(WaitForServiceRunning(services, "SCardSvr", sleeper), kServiceRunning);
  services.states = {ServiceState::Paused};
  EXPECT_EQ(WaitForServiceRunning(services, "SCardSvr", sleeper), kServiceNotRunning);
  services.states = {std::nullopt};
  EXPECT_EQ(WaitForServiceRunning(services, "SCardSvr", sleeper), kServiceUnknown);
  services.exists = false;
  EXPECT_EQ(WaitForServiceRunning(services, "SCardSvr", sleeper), kServiceUnknown);
  EXPECT_TRUE(sleeps.empty());
}

TEST_F(ServiceWaitTest, PendingIsPolledUntilSettled) {
  services.states = {ServiceState::StartPending, ServiceState::StartPending, ServiceState::Running};
  EXPECT_EQ(WaitForServiceRunning(services, "SCardSvr", sleeper), kServiceRunning);
  EXPECT_EQ(sleeps, (std::vector<long>{500, 500}));
}

TEST_F(ServiceWaitTest, PendingForEverIsBounded) {
  services.states = {ServiceState::StopPending};
  EXPECT_EQ(WaitForServiceRunning(services, "SCardSvr", sleeper, 8), kServiceUnknown);
  EXPECT_EQ(sleeps.size(), 8u);
  sleeps.clear();
  EXPECT_EQ(WaitForServiceRunning(services, "SCardSvr", sleeper), kServiceUnknown);
  EXPECT_EQ(sleeps.size(), static_cast<size_t>(kMaxPendingPolls));
}

TEST_F(ServiceWaitTest, WaitSecondsAreClamped) {
  const struct {
    uint32_t raw, seconds;
  } cases[] = {{0, 0}, {60, 60}, {999, 999}, {1000, 999}, {0x7FFFFFFF, 999},
               {0xFFFFFFFF, 0}, {0x80000000, 0}};
  for (const auto& c : cases) EXPECT_EQ(ClampWaitSeconds(c.raw), c.seconds) << c.raw;
}

TEST_F(ServiceWaitTest, StoppedServiceWaitsTheProfileSecondsWithOneEventEach) {
  profile.WriteDword("", "WaitForSCardSvr", 3);
  services.states = {ServiceState::Stopped};
  EXPECT_EQ(RunServiceWait(scard, services, sleeper), kServiceNotRunning);
  EXPECT_EQ(sleeps, (std::vector<long>{1000, 1000, 1000}));
  EXPECT_EQ(sandbox.events->Texts(), (std::vector<std::string>(3, "Waiting for SCardSvr")));
}

TEST_F(ServiceWaitTest, MinusOneWaitsNoTimeRatherThanForEver) {
  profile.WriteDword("", "WaitForSCardSvr", 0xFFFFFFFF);
  services.states = {ServiceState::Stopped};
  EXPECT_EQ(RunServiceWait(scard, services, sleeper), kServiceNotRunning);
  EXPECT_TRUE(sleeps.empty());
}

TEST_F(ServiceWaitTest, UnknownStateUsesTheSecondValueAndStopsWhenRunning) {
  services.states = {std::nullopt, std::nullopt, ServiceState::Running};
  EXPECT_EQ(RunServiceWait(scard, services, sleeper), kServiceRunning);
  EXPECT_EQ(sleeps.size(), 2u);
  services.states = {std::nullopt};
  sleeps.clear();
  EXPECT_EQ(RunServiceWait(scard, services, sleeper), kServiceUnknown);
  EXPECT_EQ(sleeps.size(), 5u);  // "WaitForSCardSvr2" defaults to 5
}

TEST_F(ServiceWaitTest, CancelledSleepEndsTheWait) {
  services.states = {ServiceState::Stopped};
  CancellableSleeper cancellable;
  cancellable.Cancel();
  EXPECT_EQ(RunServiceWait(scard, services, cancellable.AsSleeper()), kServiceNotRunning);
  EXPECT_EQ(services.queries, 1);
}

TEST_F(ServiceWaitTest, OnlyTheTwoKnownServices) {
  EXPECT_NE(FindServiceWaitParams("GslShmSrvc"), nullptr);
  EXPECT_EQ(FindServiceWaitParams("Spooler"), nullptr);
  EXPECT_EQ(IsServiceInstalled(services, "GslShmSrvc"), 0u);
  services.exists = false;
  EXPECT_EQ(IsServiceInstalled(services, "GslShmSrvc"), 1u);
}

// The early checks answer what the direct calls would: the service's state as
// WaitForServiceRunning gives it, and whether a process of that name runs.
TEST(EarlyStartChecksTest, AnswersAreThoseOfTheDirectChecks) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  const struct {
    std::optional<ServiceState> state;
    std::string process;
    uint32_t service;
    bool runs;
  } cases[] = {
      {ServiceState::Running, self, kServiceRunning, true},
      {ServiceState::Stopped, "NoSuchProgramRunsHere", kServiceNotRunning, false},
      {std::nullopt, "NoSuchProgramRunsHere", kServiceUnknown, false},
  };
  for (const auto& c : cases) {
    ScriptedServices services;
    services.states = {c.state};
    EarlyStartChecks checks(services, c.process);
    while (!checks.Done()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(checks.Get().smartCardService, c.service) << c.process;
    EXPECT_EQ(checks.Get().certificateManagerRuns, c.runs) << c.process;
  }
}

// A service stuck in a pending state holds the answers until cancelled; the owner's wake
// runs once when they are in, and at once for an owner that asks later.
TEST(EarlyStartChecksTest, PendingServiceEndsAtCancelAndWakesTheOwner) {
  ScriptedServices services;
  services.states = {ServiceState::StartPending};
  EarlyStartChecks checks(services, "NoSuchProgramRunsHere");
  std::atomic<int> wakes{0};
  checks.WhenDone([&] { ++wakes; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(checks.Done());
  const auto cancelled = std::chrono::steady_clock::now();
  checks.Cancel();
  while (!checks.Done()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(1));
  EXPECT_EQ(checks.Get().smartCardService, kServiceUnknown);
  EXPECT_EQ(wakes, 1);
  int late = 0;
  checks.WhenDone([&] { ++late; });
  EXPECT_EQ(late, 1);
}

}  // namespace
