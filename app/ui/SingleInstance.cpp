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

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <thread>

#include "EventLog.h"
#include "UiText.h"

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

// The string with each %s replaced by the next of `args`, in order; what the arguments
// hold is never read as a format.
QString Fill(Res::StringId id, std::initializer_list<QString> args) {
  const QString format = T(id);
  QString text;
  auto arg = args.begin();
  for (qsizetype i = 0; i < format.size(); ++i) {
    if (format[i] == QLatin1Char('%') && i + 1 < format.size() && format[i + 1] == QLatin1Char('s') &&
        arg != args.end()) {
      text += *arg++;
      ++i;
    } else {
      text += format[i];
    }
  }
  return text;
}

QString ErrorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QString Unusable(const QString& folder, const QString& reason) {
  return Fill(Res::StringId::FolderUnusable, {folder, reason});
}

// Why the folder may not hold the lock: empty when it is this user's own directory that
// nobody else may write to (made private). `st` is what the open found.
QString PrivacyProblem(int fd, const struct stat& st) {
  if (!S_ISDIR(st.st_mode)) return T(Res::StringId::FolderIsNotAFolder);
  if (st.st_uid != ::getuid())
    return Fill(Res::StringId::FolderOfAnotherUser, {QString::number(static_cast<qulonglong>(st.st_uid))});
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return Fill(Res::StringId::FolderWritableByOthers,
                {QString::number(st.st_mode & 07777, 8).rightJustified(4, QLatin1Char('0'))});
  if (::fchmod(fd, 0700) != 0) return Fill(Res::StringId::FolderModeNotSet, {ErrorText(errno)});
  return QString();
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
// is refused. Empty when refused; `failure` then names the folder and what is wrong.
QString PrivateTempFolder(QString& failure) {
  const QString path = QDir::tempPath() + QStringLiteral("/kelmardin-%1").arg(::getuid());
  const QByteArray name = QFile::encodeName(path);
  if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
    failure = Unusable(path, Fill(Res::StringId::FolderCannotBeCreated, {ErrorText(errno)}));
    LogEvent(EVENTLOG_ERROR_TYPE, "The single-instance folder cannot be created: " + failure.toStdString());
    return QString();
  }
  // Opened without following a link; the checks and the mode change are then on what was
  // opened. In a sticky temporary folder nobody else can swap the user's own folder.
  const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  const int openError = errno;
  QString problem;
  struct stat st;
  if (fd < 0) {
    // What stands there, for the reason only: the open decided.
    struct stat seen;
    if (::lstat(name.constData(), &seen) == 0 && S_ISLNK(seen.st_mode)) problem = T(Res::StringId::FolderIsALink);
    else if (openError == ENOTDIR) problem = T(Res::StringId::FolderIsNotAFolder);
    else problem = Fill(Res::StringId::FolderCannotBeOpened, {ErrorText(openError)});
  } else if (::fstat(fd, &st) != 0) {
    problem = Fill(Res::StringId::FolderCannotBeOpened, {ErrorText(errno)});
  } else {
    problem = PrivacyProblem(fd, st);
  }
  if (fd >= 0) ::close(fd);
  if (!problem.isEmpty()) {
    failure = Unusable(path, problem);
    LogEvent(EVENTLOG_ERROR_TYPE,
             "The single-instance folder is not a private folder of this user, and is not used: " +
                 failure.toStdString());
    return QString();
  }
  return path;
}

// Only a socket of ours is asked: the lock file is the user's own, but what it names is
// read as outside text.
bool IsInstanceSocket(const std::string& path) {
  const std::string tail = std::string("/") + kInstanceName + ".sock";
  return path.size() > tail.size() && path[0] == '/' && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
}

// A field of the holder's lines as shown: printable, or "?".
QString Shown(const std::string& field, bool digitsOnly) {
  QString text = QString::fromUtf8(field).left(255);
  text.removeIf([](QChar c) { return !c.isPrint(); });
  if (digitsOnly && !std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); })) text.clear();
  return text.isEmpty() ? QStringLiteral("?") : text;
}

}  // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  dir_ = !runtime.isEmpty() && QDir(runtime).exists() ? runtime : PrivateTempFolder(failure_);
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
  if (lockFd_ < 0) {
    const int error = errno;
    return Fail(Unusable(dir_, Fill(Res::StringId::FolderLockFileUnusable, {LockPath(), ErrorText(error)})));
  }
  const LockResult taken = TakeLock(lockFd_, 0);
  if (taken == LockResult::Error) {
    const int error = errno;
    CloseLock();
    return Fail(Unusable(dir_, Fill(Res::StringId::FolderLockFileUnusable, {LockPath(), ErrorText(error)})));
  }
  if (taken == LockResult::Held) {
    // The running instance shows itself when it can answer; a busy one keeps the start
    // too. One that no longer listens is ending: this start takes over once it is gone.
    if (AskInstanceAt(ServerName()) != Answer::NotListening || TakeLock(lockFd_, kHandOverWaitMs) != LockResult::Taken) {
      CloseLock();
      return Result::AnotherRuns;
    }
  }
  const Result data = AcquireDataFolder();
  if (data != Result::First) {
    CloseLock();
    return data;
  }
  // Without the socket the program still runs; a later start then only ends.
  if (!Listen()) LogEvent(EVENTLOG_WARNING_TYPE, "Failed to listen for a second start");
  if (!dataLock_.Announce(QFile::encodeName(ServerName()).toStdString()))
    LogEvent(EVENTLOG_WARNING_TYPE, "The data folder's lock file does not name this instance: " + DataFolderLock::Path());
  return Result::First;
}

SingleInstance::Result SingleInstance::AcquireDataFolder() {
  // A copy started from another session holds it when its runtime folder differs: it is
  // asked through the socket it named, and waited for when it is ending (or has not begun
  // to listen yet).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHandOverWaitMs);
  DataFolderLock::Holder holder;
  for (;;) {
    const DataFolderLock::State state = dataLock_.TryLock();
    if (state == DataFolderLock::State::Held) return Result::First;
    if (state == DataFolderLock::State::Failed) {
      return Fail(Unusable(QFile::decodeName(DataFolderLock::Folder().c_str()),
                           Fill(Res::StringId::FolderLockFileUnusable,
                                {QFile::decodeName(DataFolderLock::Path().c_str()), ErrorText(dataLock_.Error())})));
    }
    holder = DataFolderLock::ReadHolder();
    // A holder on another computer (a shared home folder) cannot be asked.
    if (!holder.host.empty() && holder.host != DataFolderLock::HostName()) break;
    if (IsInstanceSocket(holder.socket)) {
      const Answer answer = AskInstanceAt(QFile::decodeName(holder.socket.c_str()));
      if (answer == Answer::Taken) return Result::AnotherRuns;
      if (answer == Answer::NoAnswer) break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return Fail(Unusable(QFile::decodeName(DataFolderLock::Folder().c_str()),
                       Fill(Res::StringId::FolderInUseElsewhere, {Shown(holder.host, false), Shown(holder.pid, true)})));
}

SingleInstance::Result SingleInstance::Fail(const QString& text) {
  failure_ = text;
  LogEvent(EVENTLOG_ERROR_TYPE, "The program cannot start: " + text.toStdString());
  return Result::Failed;
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

SingleInstance::Answer SingleInstance::AskInstanceAt(const QString& socket) {
  sockaddr_un address;
  if (!Address(socket, address)) return Answer::NoAnswer;
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
  dataLock_.Unlock();
  CloseLock();
}

void SingleInstance::CloseLock() {
  // Closing the file lets go of the lock. The file stays: removing it could hand a later
  // start a lock on a new file while another start waits on the old one.
  if (lockFd_ < 0) return;
  ::close(lockFd_);
  lockFd_ = -1;
}
