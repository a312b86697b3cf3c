#include "platform/Process.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace Platform {

namespace {

constexpr char kSelfLink[] = "/proc/self/exe";

// Once the binary is removed or replaced on disk (an update), the kernel appends this to
// the link's text; the program keeps the name it was started under.
std::string WithoutDeletedMark(const std::string& path) {
  static const std::string kMark = " (deleted)";
  if (path.size() <= kMark.size() ||
      path.compare(path.size() - kMark.size(), kMark.size(), kMark) != 0) {
    return path;
  }
  // A binary whose own file name ends so is still the file that runs.
  struct stat named {};
  struct stat running {};
  if (::stat(path.c_str(), &named) == 0 && ::stat(kSelfLink, &running) == 0 &&
      named.st_dev == running.st_dev && named.st_ino == running.st_ino) {
    return path;
  }
  return path.substr(0, path.size() - kMark.size());
}

std::string ExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink(kSelfLink, buf, sizeof buf - 1);
  if (n <= 0) return {};
  return WithoutDeletedMark(std::string(buf, static_cast<size_t>(n)));
}

}  // namespace

std::string ExecutableBaseName() {
  std::string path = ExecutablePath();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExecutableDirectory() {
  // Asked at every read of the machine-wide settings: the program's folder does not
  // change while it runs, so it is looked up once.
  static const std::string directory = [] {
    const std::string path = ExecutablePath();
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return std::string(".");
    return slash == 0 ? std::string("/") : path.substr(0, slash);
  }();
  return directory;
}

}  // namespace Platform
