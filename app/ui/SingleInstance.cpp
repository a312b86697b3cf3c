#include "SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

#include <fcntl.h>
#include <poll.h>
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

}  // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {
  QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (runtime.isEmpty() || !QDir(runtime).exists()) {
    runtime = QDir::tempPath() + QStringLiteral("/kelmardin-%1").arg(::getuid());
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                       QFileDevice::ExeOwner);
  }
  dir_ = runtime;
}

SingleInstance::~SingleInstance() { Release(); }

QString SingleInstance::LockPath() const {
  return dir_ + "/" + QString::fromLatin1(kInstanceName) + ".lock";
}

QString SingleInstance::ServerName() const {
  return dir_ + "/" + QString::fromLatin1(kInstanceName) + ".sock";
}

SingleInstance::Result SingleInstance::Acquire() {
  lock_ = std::make_unique<QLockFile>(LockPath());
  // Never stale by age; a lock whose owner process is gone is taken over at once.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) {
    // Without the socket the program still runs; a later start then only ends.
    if (!Listen()) LogEvent(EVENTLOG_WARNING_TYPE, "Failed to listen for a second start");
    return Result::First;
  }
  const bool heldByAnother = lock_->error() == QLockFile::LockFailedError;
  lock_.reset();
  if (!heldByAnother) return Result::Failed;
  // The running instance shows itself when it can answer; either way this one ends.
  AskRunningInstance();
  return Result::AnotherRuns;
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

bool SingleInstance::AskRunningInstance() {
  sockaddr_un address;
  if (!Address(ServerName(), address)) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSocketTimeoutMs);
  bool asked = false;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
      (errno == EAGAIN && WaitFor(fd, POLLOUT, deadline))) {
    const size_t length = std::strlen(kShowRequest);
    asked = ::send(fd, kShowRequest, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
  }
  // The running instance closes the connection once it has read the request.
  if (asked) {
    char byte;
    while (WaitFor(fd, POLLIN, deadline) && ::recv(fd, &byte, 1, 0) > 0) {
    }
  }
  ::close(fd);
  return asked;
}

void SingleInstance::Release() {
  for (auto& [fd, notifier] : connections_) {
    notifier.reset();
    ::close(fd);
  }
  connections_.clear();
  if (server_ >= 0) {
    serverNotifier_.reset();
    ::close(server_);
    server_ = -1;
    ::unlink(QFile::encodeName(ServerName()).constData());
  }
  if (lock_) {
    lock_->unlock();
    lock_.reset();
  }
}
