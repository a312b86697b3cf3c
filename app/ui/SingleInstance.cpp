#include "SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "EventLog.h"

namespace {

// A fixed name with a GUID, so that no other program's socket is taken for ours.
constexpr const char* kInstanceName = "kelmardin-{6f1c2a9e-3b7d-4e58-9a0c-d2e41b7f5c63}";
constexpr const char* kShowRequest = "show\n";
constexpr int kSocketTimeoutMs = 2000;
// Longer requests are cut: only the start of one is looked at.
constexpr size_t kMaxRequestBytes = 64;

// The socket's address; false when the path does not fit.
bool Address(const QString& path, sockaddr_un& address) {
  const QByteArray bytes = QFile::encodeName(path);
  if (static_cast<size_t>(bytes.size()) >= sizeof address.sun_path) return false;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, bytes.constData(), static_cast<size_t>(bytes.size()));
  return true;
}

// Waits for the events on fd until the deadline; false on a time-out or an error.
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

enum class LockResult { Taken, Held, Error };

// Takes the lock on fd, waiting up to waitMs for its holder to let go.
LockResult TakeLock(int fd, int waitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return LockResult::Taken;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return LockResult::Error;
    if (std::chrono::steady_clock::now() >= deadline) return LockResult::Held;
    ::usleep(20000);
  }
}

// The private folder in the shared temporary folder, made when missing. Anyone may create
// a name there first: a folder that is not this user's own directory (a link, another
// user's, or one that others may write to) would let them take or fake the lock, so it
// is refused. Empty when refused.
QString PrivateTempFolder() {
  const QString path = QDir::tempPath() + QStringLiteral("/kelmardin-%1").arg(::getuid());
  const QByteArray name = QFile::encodeName(path);
  if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
    LogEvent(EVENTLOG_ERROR_TYPE, "The single-instance folder cannot be created: " + name.toStdString());
    return QString();
  }
  // Opened without following a link; the checks and the mode change are then on what was
  // opened. In a sticky temporary folder nobody else can swap the user's own folder.
  const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  const bool own = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
                   (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 && ::fchmod(fd, 0700) == 0;
  if (fd >= 0) ::close(fd);
  if (!own) {
    LogEvent(EVENTLOG_ERROR_TYPE,
             "The single-instance folder is not a private folder of this user, and is not used: " +
                 name.toStdString());
    return QString();
  }
  return path;
}

}  // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  dir_ = !runtime.isEmpty() && QDir(runtime).exists() ? runtime : PrivateTempFolder();
}

SingleInstance::~SingleInstance() { Release(); }

QString SingleInstance::LockPath() const {
  return dir_ + "/" + QString::fromLatin1(kInstanceName) + ".lock";
}

QString SingleInstance::ServerName() const {
  return dir_ + "/" + QString::fromLatin1(kInstanceName) + ".sock";
}

SingleInstance::Result SingleInstance::Acquire() {
  if (dir_.isEmpty()) return Result::Failed;
  if (lockFd_ >= 0) return Result::First;
  lockFd_ = ::open(QFile::encodeName(LockPath()).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lockFd_ < 0) return Result::Failed;
  const LockResult taken = TakeLock(lockFd_, 0);
  if (taken == LockResult::Taken) {
    // Without the socket the program still runs; a later start then only ends.
    if (!Listen()) LogEvent(EVENTLOG_WARNING_TYPE, "Failed to listen for a second start");
    return Result::First;
  }
  if (taken == LockResult::Error) {
    CloseLock();
    return Result::Failed;
  }
  // The running instance shows itself when it can answer; a busy one keeps the start too.
  // One that no longer listens is ending: this start takes over once it is gone.
  if (AskRunningInstance() != Answer::NotListening || TakeLock(lockFd_, kHandOverWaitMs) != LockResult::Taken) {
    CloseLock();
    return Result::AnotherRuns;
  }
  if (!Listen()) LogEvent(EVENTLOG_WARNING_TYPE, "Failed to listen for a second start");
  return Result::First;
}

void SingleInstance::StopListening() {
  for (auto& [fd, notifier] : connections_) {
    notifier.reset();
    ::close(fd);
  }
  connections_.clear();
  if (server_ < 0) return;
  serverNotifier_.reset();
  ::close(server_);
  server_ = -1;
  // Later starts find nobody to ask, and wait for the lock instead.
  ::unlink(QFile::encodeName(ServerName()).constData());
}

bool SingleInstance::Listen() {
  sockaddr_un address;
  if (!Address(ServerName(), address)) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  // We hold the lock, so a socket file left here belongs to a dead instance.
  ::unlink(address.sun_path);
  // Only this user may connect (the folder is the user's own as well).
  const mode_t mask = ::umask(077);
  const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::umask(mask);
  if (!bound || ::listen(fd, 8) != 0) {
    ::close(fd);
    return false;
  }
  server_ = fd;
  serverNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  connect(serverNotifier_.get(), &QSocketNotifier::activated, this, [this] { Accept(); });
  return true;
}

void SingleInstance::Accept() {
  for (;;) {
    const int fd = ::accept4(server_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, [this, fd] { ReadRequest(fd); });
    connections_[fd] = std::move(notifier);
  }
}

void SingleInstance::ReadRequest(int fd) {
  char buffer[kMaxRequestBytes];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n > 0 && QByteArray(buffer, static_cast<int>(n)).startsWith(QByteArray(kShowRequest).trimmed()))
    emit activationRequested();
  // One request per connection; closing tells the asking process it was heard.
  CloseConnection(fd);
}

void SingleInstance::CloseConnection(int fd) {
  auto it = connections_.find(fd);
  if (it == connections_.end()) return;
  it->second->setEnabled(false);
  // The notifier may be the caller: it goes once the event loop is back.
  it->second.release()->deleteLater();
  connections_.erase(it);
  ::close(fd);
}

SingleInstance::Answer SingleInstance::AskRunningInstance() {
  sockaddr_un address;
  if (!Address(ServerName(), address)) return Answer::NoAnswer;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return Answer::NoAnswer;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSocketTimeoutMs);
  Answer answer = Answer::NoAnswer;
  const int connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int error = connected == 0 ? 0 : errno;
  if (connected == 0 || (error == EAGAIN && WaitFor(fd, POLLOUT, deadline))) {
    const size_t length = std::strlen(kShowRequest);
    if (::send(fd, kShowRequest, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length)) answer = Answer::Taken;
  } else if (error == ENOENT || error == ECONNREFUSED) {
    // No socket file, or nobody behind it: the instance is ending (or died).
    answer = Answer::NotListening;
  }
  // The running instance closes the connection once it has read the request.
  if (answer == Answer::Taken) {
    char byte;
    while (WaitFor(fd, POLLIN, deadline) && ::recv(fd, &byte, 1, 0) > 0) {
    }
  }
  ::close(fd);
  return answer;
}

void SingleInstance::Release() {
  StopListening();
  CloseLock();
}

void SingleInstance::CloseLock() {
  // Closing the file lets go of the lock. The file stays: removing it could hand a later
  // start a lock on a new file while another start waits on the old one.
  if (lockFd_ < 0) return;
  ::close(lockFd_);
  lockFd_ = -1;
}
