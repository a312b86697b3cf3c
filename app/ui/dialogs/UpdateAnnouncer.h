// The daily update check and the pop-up cycle: the check runs on a worker thread and
// queues its announcements; the interface thread shows them one after the other in the
// pop-up. The three timers are the main window's; this object drives them.
#pragma once

#include <QObject>
#include <QTimer>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "UpdateCheck.h"
#include "UpdatePopup.h"

class UpdateAnnouncer : public QObject {
  Q_OBJECT
 public:
  struct Options {
    int firstCheckMs = 300000;
    int dailyMs = 86400000;
    int showDelayMs = 10000;
    int hideDelayMs = 10000;
    int closeDelayMs = 100;  // after the pop-up's close button
    int stepMs = UpdatePopup::kStepMs;
    // The configured server when absent (its HTTP options then come from `http`).
    std::optional<TvrServices::UpdateServer> server;
    TvrServices::HttpOptions http;
    // The installed middleware by vendor key; the version probes when empty.
    std::function<std::map<std::string, std::string>()> installed;
    std::string ownVersion;  // the program's own when empty
  };

  // `check`, `show` and `hide` belong to the owner and outlive this object.
  UpdateAnnouncer(QTimer& check, QTimer& show, QTimer& hide, Options options, QObject* parent = nullptr);
  // Waits for a running check, at most the HTTP client's time-outs.
  ~UpdateAnnouncer() override;

  // Arms the first check.
  void Start();
  // Made at its first use: most runs never announce anything.
  UpdatePopup* Popup();
  TvrServices::PendingUpdates& Pending() { return pending_; }
  // From the first announcement shown until the last one has slid out.
  bool CycleRunning() const { return cycleRunning_; }
  bool CheckRunning() const { return checkRunning_; }

 signals:
  void checkFinished(bool any);

 private:
  void OnCheckTimer();
  void OnCheckDone(bool any);
  void OnShowTimer();
  void OnHideTimer();
  void OnSlideOutFinished();
  void JoinWorker();

  QTimer& check_;
  QTimer& show_;
  QTimer& hide_;
  Options options_;
  std::unique_ptr<UpdatePopup> popup_;
  TvrServices::PendingUpdates pending_;
  std::thread worker_;
  std::atomic<bool> checkRunning_{false};
  bool cycleRunning_ = false;
};
