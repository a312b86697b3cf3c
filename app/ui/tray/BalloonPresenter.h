// Shows the queued balloons one at a time on the interface thread: one per tick of the
// balloon timer, and all that are left, one interval apart, when the window goes away.
#pragma once

#include <QObject>
#include <QTimer>

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

  BalloonPresenter(BalloonQueue& queue, IBalloonSink& sink, int intervalMs = kBalloonIntervalMs,
                   QObject* parent = nullptr);

  void Start();
  void Stop();
  bool IsRunning() const { return timer_.isActive(); }
  int IntervalMs() const { return timer_.interval(); }

  // One tick: the oldest balloon, when there is one.
  void ShowNext();
  // Stops the timer and shows everything still queued, oldest first, each followed by
  // one interval in a local event loop, so that the balloons are drawn meanwhile.
  void DrainAll();
  // Stops the timer and forgets the queue without showing anything (end of session).
  void DropAll();

 private:
  BalloonQueue& queue_;
  IBalloonSink& sink_;
  QTimer timer_;
};
