#include "DataFolderLock.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/CertStore.h"
#include "platform/FileHelpers.h"

namespace {

// Three short lines; anything longer is not ours and is not read further.
constexpr size_t kMaxHolderBytes = 4096;
constexpr size_t kMaxLineBytes = 1024;

}  // namespace

DataFolderLock::~DataFolderLock() { Unlock(); }

std::string DataFolderLock::Folder() {
  const std::string stores = Platform::CertStore::StoresDirectory();
  return stores.substr(0, stores.rfind('/'));
}

std::string DataFolderLock::Path() { return Folder() + "/kelmardin.lock"; }

DataFolderLock::State DataFolderLock::TryLock() {
  if (fd_ >= 0) return State::Held;
  error_ = 0;
  if (!Platform::MakeDirectories(Folder(), 0700)) {
    error_ = errno ? errno : EACCES;
    return State::Failed;
  }
  // Never through a link, never blocking on a FIFO put in its place.
  const int fd = ::open(Path().c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    error_ = errno;
    return State::Failed;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error_ = EINVAL;
    ::close(fd);
    return State::Failed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) return State::Busy;
    error_ = error;
    return State::Failed;
  }
  // What an earlier holder wrote names a process that is gone (Announce clears it again).
  [[maybe_unused]] const int cleared = ::ftruncate(fd, 0);
  fd_ = fd;
  return State::Held;
}

bool DataFolderLock::Announce(const std::string& socket) {
  if (fd_ < 0) return false;
  const std::string text = HostName() + "\n" + std::to_string(::getpid()) + "\n" + socket + "\n";
  if (::ftruncate(fd_, 0) != 0) return false;
  return ::pwrite(fd_, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

DataFolderLock::Holder DataFolderLock::ReadHolder() {
  Holder holder;
  std::string text;
  if (Platform::ReadRegularFile(Path(), kMaxHolderBytes, false, text) != Platform::FileRead::Ok) return holder;
  std::string* fields[] = {&holder.host, &holder.pid, &holder.socket};
  size_t start = 0;
  for (std::string* field : fields) {
    const size_t end = text.find('\n', start);
    // A line not yet ended is being written: nothing is taken from it.
    if (end == std::string::npos) break;
    if (end - start <= kMaxLineBytes) *field = text.substr(start, end - start);
    start = end + 1;
  }
  return holder;
}

std::string DataFolderLock::HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

void DataFolderLock::Unlock() {
  if (fd_ < 0) return;
  // Closing the last descriptor lets go of the lock.
  ::close(fd_);
  fd_ = -1;
}
