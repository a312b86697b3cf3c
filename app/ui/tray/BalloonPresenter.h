// Shows the queued balloons one at a time on the interface thread, one interval apart.
// The balloon timer runs only while balloons wait: the first one queued into an empty
// queue is shown at once and starts it, and the tick that finds the queue empty stops it.
// When the program ends, only the balloons of the last few seconds are shown, briefly.
#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>

#include "BalloonQueue.h"

class IBalloonSink {
 public:
  virtual ~IBalloonSink() = default;
  virtual void ShowBalloon(const BalloonInfo& balloon) = 0;
};

class BalloonPresenter : public QObject {
  Q_OBJECT
 public:
  static constexpr int kBalloonTimerId = 19840318;
  static constexpr int kBalloonIntervalMs = 3000;
  // At the end: balloons older than this are not shown, and the drain lasts at most the
  // budget (the newest balloons first when not all fit).
  static constexpr std::chrono::milliseconds kDrainAge{5000};
  static constexpr std::chrono::milliseconds kDrainBudget{1500};

  BalloonPresenter(BalloonQueue& queue, IBalloonSink& sink, int intervalMs = kBalloonIntervalMs,
                   QObject* parent = nullptr);
  ~BalloonPresenter() override;

  // Starts showing what is queued and what will be; Stop() ends it (queued ones stay).
  void Start();
  void Stop();
  bool IsRunning() const { return timer_.isActive(); }
  int IntervalMs() const { return timer_.interval(); }

  // One tick: the oldest balloon, when there is one; none stops the timer.
  void ShowNext();
  // Stops, then shows the balloons queued within `age`, oldest first, each followed by one
  // interval in a local event loop (so that they are drawn), the whole within `budget`:
  // the newest ones that fit. The queue is empty afterwards.
  void DrainRecent(std::chrono::milliseconds age = kDrainAge, std::chrono::milliseconds budget = kDrainBudget);
  // Stops the timer and forgets the queue without showing anything (end of session).
  void DropAll();

 private:
  void OnFirstQueued();

  BalloonQueue& queue_;
  IBalloonSink& sink_;
  QTimer timer_;
  bool started_ = false;
};
