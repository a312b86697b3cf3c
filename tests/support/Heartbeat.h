// The interface thread's pulse, for tests and benches: a 10 ms timer whose longest gap
// between two ticks tells how long the thread was kept from its event loop (by a call
// that waited for the network, a card or PC/SC). Create and read it on the interface
// thread; it beats only while the event loop runs.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>

class Heartbeat : public QObject {
 public:
  static constexpr int kPeriodMs = 10;

  Heartbeat() {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(kPeriodMs);
    connect(&timer_, &QTimer::timeout, this, [this] {
      const qint64 now = clock_.elapsed();
      longest_ = std::max(longest_, now - last_);
      last_ = now;
    });
    Reset();
    timer_.start();
  }

  // Forgets the gaps so far.
  void Reset() {
    clock_.start();
    last_ = 0;
    longest_ = 0;
  }
  // The longest gap since Reset, the one still open included, in milliseconds.
  qint64 LongestGapMs() const { return std::max(longest_, clock_.elapsed() - last_); }

 private:
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 last_ = 0;
  qint64 longest_ = 0;
};
