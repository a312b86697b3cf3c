#include "StoreFixture.h"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Profile.h"

void StoreFixture::SetUp() {
  dir_.emplace();
  ::setenv("XDG_DATA_HOME", (dir_->Path() + "/data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (dir_->Path() + "/config").c_str(), 1);
  ::setenv("TVR_SYSTEM_CONFIG_DIR", (dir_->Path() + "/none").c_str(), 1);
  ::setenv("TVR_TRUST_BUNDLE", BundlePath().c_str(), 1);
  ASSERT_TRUE(Platform::Profile().WriteInt("", "EventLogLevel", 3));
  Platform::SetEventSink(sink_);
  Platform::RegisterEventSource();
}

void StoreFixture::TearDown() {
  Platform::DeregisterEventSource();
  Platform::SetEventSink(nullptr);
  dir_.reset();
}

std::string StoreFixture::StoreFolder(const std::string& name) const {
  return dir_->Path() + "/data/Tavrenic/stores/" + name;
}

Platform::CertContextPtr StoreFixture::Context(const std::vector<uint8_t>& der) {
  auto context = Platform::CertContext::Create(der.data(), der.size());
  EXPECT_NE(context, nullptr);
  return context;
}

std::string RunInChild(const std::function<std::string()>& body, std::chrono::seconds limit) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  const pid_t child = ::fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    ::close(fds[0]);
    const std::string result = body();
    size_t done = 0;
    while (done < result.size()) {
      const ssize_t n = ::write(fds[1], result.data() + done, result.size() - done);
      if (n <= 0) ::_exit(3);
      done += static_cast<size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string result;
  bool finished = false;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{fds[0], POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0) continue;
    if (n == 0) {
      finished = true;
      break;
    }
    result.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  if (!finished) ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!finished) return "did not finish within " + std::to_string(limit.count()) + " s";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the child died: status " + std::to_string(status);
  return result;
}
