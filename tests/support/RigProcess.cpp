#include "P11Rig.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace TvrTest {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tvrtest-XXXXXX";
  if (!::mkdtemp(pattern.data())) {
    throw std::runtime_error("mkdtemp failed for " + pattern);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ModuleDir() {
  const char* dir = std::getenv("TVR_TEST_MODULE_DIR");
  if (!dir || !*dir) {
    throw std::runtime_error("TVR_TEST_MODULE_DIR is not set: link the test with tvr_test_main (MAIN support)");
  }
  return dir;
}

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

int ExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

int RunCommand(const std::vector<std::string>& argv, std::string* output) {
  if (argv.empty()) throw std::invalid_argument("RunCommand: empty argv");
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("RunCommand: pipe failed");
  Fd readEnd(fds[0]);
  Fd writeEnd(fds[1]);
  Fd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("RunCommand: fork failed");
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    ::dup2(devNull.Get(), STDIN_FILENO);
    ::dup2(writeEnd.Get(), STDOUT_FILENO);
    ::dup2(writeEnd.Get(), STDERR_FILENO);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  writeEnd.Close();

  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(readEnd.Get(), buffer, sizeof buffer);
    if (got > 0) {
      text.append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("RunCommand: waitpid failed");
  }
  if (output) *output = std::move(text);
  return ExitCode(status);
}

}  // namespace TvrTest
