#include "platform/Process.h"

#include <unistd.h>

#include <climits>

namespace Platform {

namespace {
std::string ExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}
}  // namespace

std::string ExecutableBaseName() {
  std::string path = ExecutablePath();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExecutableDirectory() {
  std::string path = ExecutablePath();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace Platform
