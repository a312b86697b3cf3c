// The probe of the smart-card service and the context deadline built on it. Every PC/SC
// call of this process goes to the rig's socket path, where a test puts nothing, a mute
// service or a private pcscd.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <thread>

#include "PcscRig.h"
#include "platform/PcscDeadline.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Whether pcsc-lite's process-wide lock is free: checking a context takes it, and answers
// at once without asking the service. Nothing after `limit` (the call stays behind).
std::optional<LONG> ValidityCheckWithin(std::chrono::milliseconds limit) {
  auto check = std::make_shared<std::promise<LONG>>();
  std::future<LONG> answer = check->get_future();
  std::thread([check] { check->set_value(SCardIsValidContext(0x7e57)); }).detach();
  if (answer.wait_for(limit) != std::future_status::ready) return std::nullopt;
  return answer.get();
}

class PcscDeadlineTest : public ::testing::Test {
 protected:
  void SetUp() override { socket_ = TvrTest::PcscSocketPath(); }
  std::string socket_;
};

TEST_F(PcscDeadlineTest, ProbeTellsAMissingAStaleAndAMuteServiceApart) {
  EXPECT_EQ(Platform::PcscServiceSocketPath(), socket_);
  const auto start = Clock::now();
  EXPECT_EQ(Platform::ProbePcscService(socket_, 2s), Platform::PcscServiceAnswer::NotRunning);
  {
    // A socket file nobody listens on: what a crashed daemon leaves.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket_.c_str(), socket_.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    EXPECT_EQ(Platform::ProbePcscService(socket_, 2s), Platform::PcscServiceAnswer::NotRunning);
    ::unlink(socket_.c_str());
  }
  EXPECT_LT(Clock::now() - start, 1s);
  SCARDCONTEXT context = 0;
  EXPECT_EQ(Platform::EstablishContextWithin(SCARD_SCOPE_USER, &context), SCARD_E_NO_SERVICE);

  TvrTest::MutePcscd mute(socket_);
  const auto asked = Clock::now();
  EXPECT_EQ(Platform::ProbePcscService(socket_, 300ms), Platform::PcscServiceAnswer::Silent);
  EXPECT_LT(Clock::now() - asked, 2s);
  EXPECT_EQ(mute.Connections(), 1);
  std::atomic<bool> stop{true};
  EXPECT_EQ(Platform::ProbePcscService(socket_, 5s, &stop), Platform::PcscServiceAnswer::GivenUp);
}

// The fault: the helper that gave up on a mute service stayed inside pcsc-lite holding
// its lock, so every later PC/SC call of the process (a vendor module's included) waited
// for good.
TEST_F(PcscDeadlineTest, GivingUpOnAMuteServiceLeavesPcscLiteFree) {
  std::optional<TvrTest::MutePcscd> mute(std::in_place, socket_);
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCARDCONTEXT context = 0;
    const auto start = Clock::now();
    EXPECT_EQ(Platform::EstablishContextWithin(SCARD_SCOPE_USER, &context, 300ms), SCARD_E_TIMEOUT) << attempt;
    EXPECT_LT(Clock::now() - start, 2s) << attempt;
  }
  const std::optional<LONG> check = ValidityCheckWithin(2s);
  const int connections = mute->Connections();
  mute.reset();  // a call still inside pcsc-lite ends now
  ASSERT_TRUE(check) << "pcsc-lite's lock is held";
  EXPECT_EQ(*check, SCARD_E_INVALID_HANDLE);
  EXPECT_EQ(connections, 2);  // the probes, nothing of pcsc-lite's

  // The service comes back on the same path: the next context is established.
  const std::string why = TvrTest::PcscRigUnavailableReason();
  if (!why.empty()) GTEST_SKIP() << why;
  TvrTest::PrivatePcscd pcscd;
  try {
    pcscd.Start();
  } catch (const TvrTest::PcscRigUnavailable& e) {
    GTEST_SKIP() << e.what();
  }
  EXPECT_EQ(Platform::ProbePcscService(socket_, 2s), Platform::PcscServiceAnswer::Answers);
  SCARDCONTEXT context = 0;
  const auto start = Clock::now();
  ASSERT_EQ(Platform::EstablishContextWithin(SCARD_SCOPE_USER, &context), SCARD_S_SUCCESS);
  EXPECT_LT(Clock::now() - start, 2s);
  SCardReleaseContext(context);
  pcscd.Stop();
  EXPECT_EQ(Platform::EstablishContextWithin(SCARD_SCOPE_USER, &context), SCARD_E_NO_SERVICE);
}

}  // namespace
