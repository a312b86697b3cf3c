// One running program per user: a lock file plus a local socket. The first instance holds
// the lock and listens; a later one finds the lock taken, asks the first through the
// socket to show itself, and ends. The socket is a plain Unix-domain one: Qt's network
// module, and the libraries it pulls in, would cost every start more than this needs.
#pragma once

#include <QLockFile>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <map>
#include <memory>

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  enum class Result { First, AnotherRuns, Failed };

  // The folder of the lock and the socket: $XDG_RUNTIME_DIR, else a private folder in the
  // temporary folder.
  explicit SingleInstance(QObject* parent = nullptr);
  ~SingleInstance() override;

  // First: this process is the instance (and listens). AnotherRuns: another process holds
  // the lock; it was asked to show itself. Failed: the lock file cannot be made.
  Result Acquire();
  void Release();

  QString LockPath() const;
  QString ServerName() const;

 signals:
  // A later start asked this instance to show its window.
  void activationRequested();

 private:
  // True when the running instance took the request.
  bool AskRunningInstance();
  bool Listen();

  void Accept();
  void ReadRequest(int fd);
  void CloseConnection(int fd);

  QString dir_;
  std::unique_ptr<QLockFile> lock_;
  int server_ = -1;
  std::unique_ptr<QSocketNotifier> serverNotifier_;
  // Accepted connections that have not sent their request yet.
  std::map<int, std::unique_ptr<QSocketNotifier>> connections_;
};
