#include "platform/FileHelpers.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/Process.h"

namespace Platform {

AutoFd::~AutoFd() {
  if (fd_ >= 0) ::close(fd_);
}

std::string EnvironmentOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return (value && *value) ? std::string(value) : fallback;
}

std::string UserConfigDirectory() {
  const char* home = std::getenv("HOME");
  return EnvironmentOr("XDG_CONFIG_HOME", std::string(home ? home : "") + "/.config");
}

namespace {

// A folder given relative to the executable's folder, as the build wrote it in.
std::string BesideProgram(const char* relative) {
  return std::filesystem::path(ExecutableDirectory() + "/" + relative).lexically_normal().string();
}

bool Present(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The installation's configuration folder as the installation wrote it beside the program
// (relative to the program's folder); none for a program that was not installed. Read
// once: it changes only with a new installation.
std::string InstallationConfigDirectory() {
  static const std::string folder = [] {
    constexpr size_t kMaxLength = 4096;
    std::string text;
    if (ReadRegularFile(ExecutableDirectory() + "/" + TVR_CONFIG_FOLDER_FILE, kMaxLength, true, text) != FileRead::Ok)
      return std::string();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (text.empty() || text.find('\n') != std::string::npos) return std::string();
    return text[0] == '/' ? std::filesystem::path(text).lexically_normal().string() : BesideProgram(text.c_str());
  }();
  return folder;
}

}  // namespace

std::vector<std::string> SystemConfigDirectories() {
  const char* override = std::getenv("TVR_SYSTEM_CONFIG_DIR");
  if (override && *override) return {override};
  std::vector<std::string> folders;
  const auto add = [&](std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    // Relative entries are invalid by the base-directory rules.
    if (folder.empty() || folder[0] != '/') return;
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
  };
  const std::string dirs = EnvironmentOr("XDG_CONFIG_DIRS", "/etc/xdg");
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    add(dirs.substr(start, end - start));
    start = end + 1;
  }
  add(InstallationConfigDirectory());
  return folders;
}

std::string FindSystemConfigFile(const std::string& name) {
  for (const std::string& folder : SystemConfigDirectories()) {
    const std::string path = folder + "/" + name;
    if (Present(path)) return path;
  }
  return {};
}

std::string ShippedDefaultsDirectory() {
  const char* override = std::getenv("TVR_SYSTEM_CONFIG_DIR");
  if (override && *override) return {};
  return BesideProgram(TVR_DEFAULTS_FROM_PROGRAM);
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  // Through the non-blocking read: a FIFO in a file's place must not stall the caller.
  constexpr size_t kMaxWholeFile = 64u << 20;
  return ReadRegularFile(path, kMaxWholeFile, true, out) == FileRead::Ok;
}

FileRead ReadRegularFile(const std::string& path, size_t cap, bool followLinks, std::string& out,
                            struct stat* info) {
  out.clear();
  // Non-blocking, so that a FIFO or a device put in place of a file cannot stall the caller
  // (a store's caller holds its lock).
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
  AutoFd fd(::open(path.c_str(), flags));
  if (fd.Get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return FileRead::Missing;
    if (errno == ELOOP || errno == ENXIO) return FileRead::NotRegular;
    return FileRead::Failed;
  }
  struct stat st;
  if (::fstat(fd.Get(), &st) != 0) return FileRead::Failed;
  if (!S_ISREG(st.st_mode)) return FileRead::NotRegular;
  if (static_cast<uint64_t>(st.st_size) > cap) return FileRead::TooLarge;
  if (info) *info = st;
  // The file may grow while it is read: one byte beyond the cap tells.
  out.resize(static_cast<size_t>(st.st_size) + 1);
  size_t done = 0;
  for (;;) {
    if (done == out.size()) {
      if (out.size() > cap) {
        out.clear();
        return FileRead::TooLarge;
      }
      out.resize(std::min(out.size() * 2, cap + 1));
    }
    const ssize_t n = ::read(fd.Get(), out.data() + done, out.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      out.clear();
      return FileRead::Failed;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return FileRead::Ok;
}

bool MakeDirectories(const std::string& path, mode_t mode) {
  if (path.empty()) return false;
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    size_t next = path.find('/', pos + 1);
    partial = path.substr(0, next);
    pos = next;
    if (partial.empty() || partial == "/") continue;
    if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {
bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// The temp file made from `tmpl` (ending in XXXXXX, in the target's folder) is written,
// synced and renamed over `path`; errno tells why when it fails.
bool WriteThroughTemp(std::string tmpl, const std::string& path, const std::string& contents, mode_t mode,
                      bool syncFolder) {
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  // mkostemp creates exclusively: a link planted under the temp name is never followed.
  AutoFd fd(::mkostemp(name.data(), O_CLOEXEC));
  if (fd.Get() < 0) return false;
  std::string tmp(name.data());
  bool ok = ::fchmod(fd.Get(), mode) == 0 && WriteAll(fd.Get(), contents) && ::fsync(fd.Get()) == 0;
  ok = (::close(fd.Release()) == 0) && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(tmp.c_str());
    errno = error;
    return false;
  }
  if (syncFolder) {
    size_t slash = path.rfind('/');
    SyncFolder(slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash)));
  }
  return true;
}
}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& contents, mode_t mode, bool syncFolder) {
  return WriteThroughTemp(path + ".XXXXXX", path, contents, mode, syncFolder);
}

bool ReplaceFileInFolder(const std::string& folder, const std::string& name, const std::string& contents,
                         mode_t mode) {
  const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  // A short temp name: the final name may already be as long as a name can be.
  return WriteThroughTemp(base + ".kelmardin-XXXXXX", base + name, contents, mode, true);
}

bool SyncFolder(const std::string& folder) {
  AutoFd dfd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dfd.Get() >= 0 && ::fsync(dfd.Get()) == 0;
}

FileLock::FileLock(const std::string& lockPath) {
  fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) return;
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    ::close(fd_);
    fd_ = -1;
    return;
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
}

}  // namespace Platform
