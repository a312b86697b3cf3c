// Preloaded (LD_PRELOAD) into the program under test: its event log, which goes to
// syslog, is appended to the file named by TVR_SYSLOG_FILE instead, one entry a line
// ("<priority> <text>"), so that a test can read what a child logged.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Append(int priority, const char* format, va_list args) {
  const char* path = std::getenv("TVR_SYSLOG_FILE");
  if (!path || !*path) return;
  char text[2048];
  std::vsnprintf(text, sizeof text, format, args);
  const std::string line = std::to_string(priority & 7) + " " + text + "\n";
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t n = ::write(fd, line.data(), line.size());
  ::close(fd);
}

}  // namespace

extern "C" {
#pragma GCC visibility push(default)

void openlog(const char*, int, int) {}
void closelog() {}
void vsyslog(int priority, const char* format, va_list args) { Append(priority, format, args); }
void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Append(priority, format, args);
  va_end(args);
}
void __vsyslog_chk(int priority, int, const char* format, va_list args) { Append(priority, format, args); }
void __syslog_chk(int priority, int, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Append(priority, format, args);
  va_end(args);
}

#pragma GCC visibility pop
}
