// Small POSIX file and environment helpers shared by the platform layers.
#pragma once

#include <cstddef>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace Platform {

// The environment variable's value; the fallback when it is unset or empty.
std::string EnvironmentOr(const char* name, const std::string& fallback);
// Where settings files live: the user's $XDG_CONFIG_HOME (default ~/.config).
std::string UserConfigDirectory();
// The machine's settings folders, most important first: $TVR_SYSTEM_CONFIG_DIR alone when
// set (tests name every machine-wide file that way); else the absolute entries of
// $XDG_CONFIG_DIRS (default /etc/xdg), then the installation's own <sysconfdir>/xdg,
// which the installation names in a file beside the program (a program installed under
// ~/.local reads ~/.local/etc/xdg, one under /opt/<x> /etc/opt/<x>/xdg).
std::vector<std::string> SystemConfigDirectories();
// The machine-wide file `name` (e.g. "Tavrenic/smartcards.conf") in the first of those
// folders that has it; empty when none has.
std::string FindSystemConfigFile(const std::string& name);
// The folder of the defaults shipped with the program (<datadir>/kelmardin, found from
// the executable's folder, in the build folder as installed); they stand below every
// machine-wide file, which an administrator may have edited. Empty when
// $TVR_SYSTEM_CONFIG_DIR is set.
std::string ShippedDefaultsDirectory();

bool ReadWholeFile(const std::string& path, std::string& out);

enum class FileRead { Ok, Missing, NotRegular, TooLarge, Failed };
// Reads a whole regular file of at most `cap` bytes: for files that outsiders can put in
// place (a FIFO would never end, a huge file would fill the memory). The open never
// blocks (a FIFO or a device is refused after the open, unread) and, unless followLinks,
// refuses a symbolic link. `info` receives the opened file's status when given.
FileRead ReadRegularFile(const std::string& path, size_t cap, bool followLinks, std::string& out,
                         struct stat* info = nullptr);
// mkdir -p; existing folders are fine.
bool MakeDirectories(const std::string& path, mode_t mode);
// Writes a sibling temp file, fsyncs it, renames it over the target and syncs the folder,
// so readers see either the old or the new contents, never a half-written file. Without
// syncFolder the caller flushes the folder itself (SyncFolder), once for several files.
bool WriteFileAtomically(const std::string& path, const std::string& contents, mode_t mode,
                         bool syncFolder = true);
// fsync of the folder: the renames and removals in it reach the disk.
bool SyncFolder(const std::string& folder);
// Puts `contents` under `name` in `folder` the same way, through a temp file of a short
// name of its own: whatever stood under the name (a link included) is replaced, never
// written through. False with errno set when it fails.
bool ReplaceFileInFolder(const std::string& folder, const std::string& name, const std::string& contents,
                         mode_t mode);

// An exclusive flock on a lock file, held for the object's life. Blocks other threads and
// processes that lock the same file.
class FileLock {
 public:
  explicit FileLock(const std::string& lockPath);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool Locked() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// An owned file descriptor.
class AutoFd {
 public:
  explicit AutoFd(int fd = -1) : fd_(fd) {}
  ~AutoFd();
  AutoFd(const AutoFd&) = delete;
  AutoFd& operator=(const AutoFd&) = delete;
  int Get() const { return fd_; }
  int Release() { int f = fd_; fd_ = -1; return f; }

 private:
  int fd_;
};

}  // namespace Platform
