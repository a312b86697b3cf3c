#include "ProfileFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

#include "platform/FileHelpers.h"

namespace Platform {

namespace {

constexpr const char kTempSuffix[] = ".tmp";
constexpr size_t kTempSuffixLength = sizeof kTempSuffix - 1;
constexpr size_t kTempRandomLength = 6;  // mkostemps' XXXXXX
// No write holds its temp file this long; past it the named process is not the writer.
constexpr time_t kStaleTempSeconds = 60 * 60;
// Far above any settings file the program writes.
constexpr size_t kMaxProfileSize = 4u << 20;

void SplitPath(const std::string& path, std::string& dir, std::string& base) {
  size_t slash = path.rfind('/');
  dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  base = slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ProcessGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// The writer's process id when name is one of base's temp files.
bool TempFileWriter(const std::string& name, const std::string& base, pid_t& pid) {
  const std::string prefix = base + ".";
  if (name.size() <= prefix.size() + kTempRandomLength + 1 + kTempSuffixLength ||
      name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - kTempSuffixLength, kTempSuffixLength, kTempSuffix) != 0)
    return false;
  const size_t randomStart = name.size() - kTempSuffixLength - kTempRandomLength;
  if (name[randomStart - 1] != '.') return false;
  const std::string digits = name.substr(prefix.size(), randomStart - 1 - prefix.size());
  if (digits.empty() || digits.size() > 9 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  pid = static_cast<pid_t>(std::atol(digits.c_str()));
  return pid > 0;
}

}  // namespace

std::string ProfileWriteTarget(const std::string& path) {
  constexpr int kMaxLinks = 40;  // the kernel's own limit on a path's links
  std::string current = path;
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t n = ::readlink(current.c_str(), buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return current;
    std::string next(buffer.data(), static_cast<size_t>(n));
    if (next[0] != '/') {
      std::string dir, base;
      SplitPath(current, dir, base);
      next = dir + "/" + next;
    }
    current = next;
  }
  return path;
}

ProfileRead ReadProfileFile(const std::string& path, std::string& text, int& err) {
  err = 0;
  // A link is followed (settings kept elsewhere and linked in are common), but what it
  // leads to must be a regular file of a settings file's size: a FIFO would stall every
  // read, a device would never end.
  switch (ReadRegularFile(path, kMaxProfileSize, true, text)) {
    case FileRead::Ok: return ProfileRead::Read;
    case FileRead::Missing: return ProfileRead::Missing;
    case FileRead::NotRegular: err = EINVAL; break;
    case FileRead::TooLarge: err = EFBIG; break;
    case FileRead::Failed: err = errno != 0 ? errno : EIO; break;
  }
  text.clear();
  return ProfileRead::Failed;
}

bool ReplaceProfileFile(const std::string& path, const std::string& text, mode_t mode, int& err) {
  std::string dir, base;
  SplitPath(path, dir, base);
  std::string tmpl = path + "." + std::to_string(::getpid()) + ".XXXXXX" + kTempSuffix;
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  AutoFd fd(::mkostemps(name.data(), static_cast<int>(kTempSuffixLength), O_CLOEXEC));
  if (fd.Get() < 0) {
    err = errno;
    return false;
  }
  const std::string tmp(name.data());
  bool ok = ::fchmod(fd.Get(), mode) == 0;
  for (size_t done = 0; ok && done < text.size();) {
    ssize_t n = ::write(fd.Get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      if (n == 0) errno = EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd.Get()) == 0;
  if (!ok) err = errno;
  if (::close(fd.Release()) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  AutoFd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dfd.Get() >= 0) ::fsync(dfd.Get());
  err = 0;
  return true;
}

void RemoveStaleTempFiles(const std::string& path) {
  std::string dir, base;
  SplitPath(path, dir, base);
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), &::closedir);
  if (!d) return;
  const pid_t self = ::getpid();
  const time_t now = ::time(nullptr);
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(d.get())) {
    const std::string name = entry->d_name;
    pid_t writer = 0;
    if (!TempFileWriter(name, base, writer)) continue;
    const std::string full = dir + "/" + name;
    struct stat st;
    if (::lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (writer == self || ProcessGone(writer) || now - st.st_mtime > kStaleTempSeconds)
      stale.push_back(full);
  }
  d.reset();
  for (const auto& file : stale) ::unlink(file.c_str());
}

}  // namespace Platform
