// One running program per user session and per data folder: a lock file plus a local
// socket in the runtime folder, and the data folder's lock (DataFolderLock). The first
// instance holds both locks and listens; a later one finds a lock taken, asks the holder
// through its socket to show itself, and ends. An instance that is ending stops listening
// first; a start that then finds a lock taken and nobody listening waits for it, so that
// it is not lost to the instance on its way out. A start whose data folder is held by a
// copy it cannot reach (another computer, no answer) fails and says why. The socket is a
// plain Unix-domain one: Qt's network module, and the libraries it pulls in, would cost
// every start more than this needs. The runtime folder's lock is the kernel's (flock) on
// the lock file: it goes with its holder however that ends, so no lock is ever stale, and
// taking it writes nothing to disk.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <map>
#include <memory>

#include "DataFolderLock.h"

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  enum class Result { First, AnotherRuns, Failed };

  // The folder of the lock and the socket: $XDG_RUNTIME_DIR, else a private folder in the
  // temporary folder (refused, with an error event, when it is not the user's own).
  explicit SingleInstance(QObject* parent = nullptr);
  ~SingleInstance() override;

  // How long a start waits for an ending instance's lock; the program ends in seconds.
  static constexpr int kHandOverWaitMs = 10000;

  // First: this process is the instance (and listens). AnotherRuns: another process holds
  // the lock and was asked to show itself, or did not let go in time. Failed: a lock file
  // cannot be made, its folder was refused, or the data folder is held by a copy that
  // cannot be asked; FailureText() says which.
  Result Acquire();
  // After Failed: the folder and what is wrong with it, in the program's language, as
  // plain text (the same text went to the event log).
  QString FailureText() const { return failure_; }
  // The instance is ending: later starts wait for it instead of asking it.
  void StopListening();
  void Release();

  QString LockPath() const;
  QString ServerName() const;

 signals:
  // A later start asked this instance to show its window.
  void activationRequested();

 private:
  enum class Answer { Taken, NotListening, NoAnswer };
  // Asks the instance listening on `socket` to show itself.
  static Answer AskInstanceAt(const QString& socket);
  // The data folder's lock, once the runtime folder's is held.
  Result AcquireDataFolder();
  Result Fail(const QString& text);
  bool Listen();
  void CloseLock();

  void Accept();
  void ReadRequest(int fd);
  void CloseConnection(int fd);

  QString dir_;
  QString failure_;
  int lockFd_ = -1;  // open while this process holds the runtime folder's lock
  DataFolderLock dataLock_;
  int server_ = -1;
  std::unique_ptr<QSocketNotifier> serverNotifier_;
  // Accepted connections that have not sent their request yet.
  std::map<int, std::unique_ptr<QSocketNotifier>> connections_;
};
