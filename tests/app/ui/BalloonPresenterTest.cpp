#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include "BalloonPresenter.h"

namespace {

class RecordingSink : public IBalloonSink {
 public:
  void ShowBalloon(const BalloonInfo& balloon) override {
    shown.push_back(balloon);
    at.push_back(clock.elapsed());
  }
  std::vector<BalloonInfo> shown;
  std::vector<qint64> at;
  QElapsedTimer clock;
};

std::vector<BalloonInfo> Ten() {
  std::vector<BalloonInfo> ten;
  for (int i = 0; i < 10; ++i) ten.push_back({"Kártya", "Üzenet " + std::to_string(i), kBalloonInformation});
  return ten;
}

TEST(BalloonPresenterTest, OneBalloonPerTickOldestFirst) {
  BalloonQueue queue;
  RecordingSink sink;
  BalloonPresenter presenter(queue, sink);
  EXPECT_EQ(presenter.IntervalMs(), 3000);
  for (const auto& b : Ten()) queue.Queue(b);
  for (int tick = 1; tick <= 10; ++tick) {
    presenter.ShowNext();
    ASSERT_EQ(sink.shown.size(), static_cast<size_t>(tick));
  }
  presenter.ShowNext();
  EXPECT_EQ(sink.shown, Ten());
}

TEST(BalloonPresenterTest, TimerShowsThemOneIntervalApart) {
  BalloonQueue queue;
  RecordingSink sink;
  constexpr int kInterval = 30;
  BalloonPresenter presenter(queue, sink, kInterval);
  for (const auto& b : Ten()) queue.Queue(b);
  sink.clock.start();
  presenter.Start();
  ASSERT_TRUE(QTest::qWaitFor([&] { return sink.shown.size() == 10; }, 10000));
  presenter.Stop();
  EXPECT_EQ(sink.shown, Ten());
  // Ten ticks at least: never two balloons on one tick.
  EXPECT_GE(sink.at.back(), 9 * kInterval - 10);
}

TEST(BalloonPresenterTest, DrainKeepsTheEventLoopRunningBetweenBalloons) {
  BalloonQueue queue;
  RecordingSink sink;
  BalloonPresenter presenter(queue, sink, 20);
  presenter.Start();
  for (const auto& b : Ten()) queue.Queue(b);
  // Posted work (a balloon window's painting, say) must run during the drain.
  int ranDuringDrain = 0;
  QTimer::singleShot(0, [&] { ranDuringDrain = static_cast<int>(sink.shown.size()); });
  sink.clock.start();
  presenter.DrainAll();
  EXPECT_FALSE(presenter.IsRunning());
  EXPECT_EQ(sink.shown, Ten());
  EXPECT_GE(ranDuringDrain, 1);
  EXPECT_LT(ranDuringDrain, 10);
  EXPECT_GE(sink.at.back(), 9 * 20 - 5);
}

TEST(BalloonPresenterTest, DropAllShowsNothing) {
  BalloonQueue queue;
  RecordingSink sink;
  BalloonPresenter presenter(queue, sink);
  presenter.Start();
  for (const auto& b : Ten()) queue.Queue(b);
  presenter.DropAll();
  EXPECT_FALSE(presenter.IsRunning());
  EXPECT_EQ(queue.Size(), 0u);
  EXPECT_TRUE(sink.shown.empty());
}

}  // namespace
