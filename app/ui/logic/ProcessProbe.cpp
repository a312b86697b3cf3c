#include "ProcessProbe.h"

#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <memory>

bool IsProcessRunning(const std::string& exeName) {
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return false;
  while (const dirent* entry = ::readdir(proc.get())) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    char target[PATH_MAX];
    const std::string link = std::string("/proc/") + entry->d_name + "/exe";
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;  // other users' processes, kernel threads
    std::string path(target, static_cast<size_t>(n));
    // A replaced executable reads "path (deleted)"; it is still the same program.
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.ends_with(deleted)) path.resize(path.size() - deleted.size());
    const size_t slash = path.rfind('/');
    if (path.substr(slash == std::string::npos ? 0 : slash + 1) == exeName) return true;
  }
  return false;
}
