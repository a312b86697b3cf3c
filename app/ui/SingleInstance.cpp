#include "SingleInstance.h"

#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>

#include <unistd.h>

#include "EventLog.h"

namespace {

// A fixed name with a GUID, so that no other program's socket is taken for ours.
constexpr const char* kInstanceName = "kelmardin-{6f1c2a9e-3b7d-4e58-9a0c-d2e41b7f5c63}";
constexpr const char* kShowRequest = "show\n";
constexpr int kSocketTimeoutMs = 2000;

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
  if (lock_->error() != QLockFile::LockFailedError) {
    lock_.reset();
    return Result::Failed;
  }
  // The running instance shows itself when it can answer; a busy one keeps the start too.
  // One that no longer listens is ending: this start takes over once it is gone.
  if (AskRunningInstance() != Answer::NotListening || !lock_->tryLock(kHandOverWaitMs)) {
    lock_.reset();
    return Result::AnotherRuns;
  }
  if (!Listen()) LogEvent(EVENTLOG_WARNING_TYPE, "Failed to listen for a second start");
  return Result::First;
}

void SingleInstance::StopListening() {
  if (!server_) return;
  server_->close();  // removes the socket file: later starts find nobody to ask
  server_.reset();
}

bool SingleInstance::Listen() {
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  // We hold the lock, so a socket file left here belongs to a dead instance.
  QLocalServer::removeServer(ServerName());
  if (!server_->listen(ServerName())) {
    server_.reset();
    return false;
  }
  connect(server_.get(), &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        const QByteArray request = socket->readAll();
        if (request.startsWith(QByteArray(kShowRequest).trimmed())) emit activationRequested();
        socket->disconnectFromServer();
      });
    }
  });
  return true;
}

SingleInstance::Answer SingleInstance::AskRunningInstance() {
  QLocalSocket socket;
  socket.connectToServer(ServerName());
  if (!socket.waitForConnected(kSocketTimeoutMs)) {
    const bool nobody = socket.error() == QLocalSocket::ServerNotFoundError ||
                        socket.error() == QLocalSocket::ConnectionRefusedError;
    return nobody ? Answer::NotListening : Answer::NoAnswer;
  }
  socket.write(kShowRequest);
  if (!socket.waitForBytesWritten(kSocketTimeoutMs)) return Answer::NoAnswer;
  // The running instance closes the connection once it has read the request.
  socket.waitForDisconnected(kSocketTimeoutMs);
  return Answer::Taken;
}

void SingleInstance::Release() {
  StopListening();
  if (lock_) {
    lock_->unlock();
    lock_.reset();
  }
}
