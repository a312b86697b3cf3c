// The program and the helpers it needs (an X server, a tray) as children of a test, each
// started from a prepared environment and killed by its PID.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "P11Rig.h"

namespace UiTest {

inline bool OnPath(const char* tool) { return TvrTest::RunCommand({"sh", "-c", std::string("command -v ") + tool}) == 0; }

// The environment with these variables set (an empty value removes one).
inline std::vector<std::string> EnvironmentWith(const std::map<std::string, std::string>& changes) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    if (!changes.count(text.substr(0, text.find('=')))) env.push_back(text);
  }
  for (const auto& [name, value] : changes)
    if (!value.empty()) env.push_back(name + "=" + value);
  return env;
}

// Starts argv[0] (looked up on PATH) with that environment; everything is prepared before
// the fork (the test process has threads). Output is dropped; the child dies with us.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int displayFd = -1) {
  std::vector<char*> args, envp;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (displayFd == 3) ::fcntl(3, F_SETFD, 0);
    else if (displayFd >= 0) ::dup2(displayFd, 3);
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(null);
  return pid;
}

// A helper process of ours, killed by its PID at the end.
class Helper {
 public:
  Helper(const std::vector<std::string>& argv, const std::string& display, int displayFd = -1)
      : pid_(Spawn(argv, EnvironmentWith({{"DISPLAY", display}}), displayFd)) {}
  ~Helper() { Kill(); }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// A private X server; Display() is empty when it did not start.
class PrivateDisplay {
 public:
  PrivateDisplay() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    server_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", "3", "-screen", "0", "800x600x24", "-nolisten",
                                             "tcp"},
                    "", fds[1]);
    ::close(fds[1]);
    std::string number;
    pollfd readable{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&readable, 1, 5000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  const std::string& Display() const { return display_; }
  void Kill() { server_.reset(); }

 private:
  std::optional<Helper> server_;
  std::string display_;
};

}  // namespace UiTest
