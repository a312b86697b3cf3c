#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <thread>

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
  presenter.DrainRecent(std::chrono::seconds(60), std::chrono::seconds(60));
  EXPECT_FALSE(presenter.IsRunning());
  EXPECT_EQ(sink.shown, Ten());
  EXPECT_GE(ranDuringDrain, 1);
  EXPECT_LT(ranDuringDrain, 10);
  EXPECT_GE(sink.at.back(), 9 * 20 - 5);
}

// Closing ends the program in seconds: balloons queued long ago are dropped, and of the
// recent ones only the newest that fit the budget are shown.
TEST(BalloonPresenterTest, DrainShowsOnlyTheRecentBalloonsWithinTheBudget) {
  BalloonQueue queue;
  RecordingSink sink;
  BalloonPresenter presenter(queue, sink, 50);
  std::vector<BalloonInfo> ten = Ten();
  for (size_t i = 0; i < 5; ++i) queue.Queue(ten[i]);
  QTest::qWait(300);
  for (size_t i = 5; i < 10; ++i) queue.Queue(ten[i]);
  QElapsedTimer took;
  took.start();
  presenter.DrainRecent(std::chrono::milliseconds(200), std::chrono::milliseconds(120));
  EXPECT_EQ(sink.shown, std::vector<BalloonInfo>(ten.begin() + 7, ten.end()));  // 120 ms: three of 50 ms
  EXPECT_LT(took.elapsed(), 1000);
  EXPECT_EQ(queue.Size(), 0u);
  // The program's own budget: a second and a half, whatever the interval.
  EXPECT_LE(BalloonPresenter::kDrainBudget, std::chrono::milliseconds(1500));
}

// No periodic wake-up while nothing is queued: the timer starts with a balloon and stops
// at the tick that finds the queue empty. A balloon into an idle queue shows at once.
TEST(BalloonPresenterTest, TimerRunsOnlyWhileBalloonsWait) {
  BalloonQueue queue;
  RecordingSink sink;
  BalloonPresenter presenter(queue, sink, 40);
  const std::vector<BalloonInfo> ten = Ten();
  presenter.Start();
  QTest::qWait(100);
  EXPECT_FALSE(presenter.IsRunning());
  EXPECT_TRUE(sink.shown.empty());

  std::thread([&] { queue.Queue(ten[0]); }).join();  // as the card monitor does
  ASSERT_TRUE(QTest::qWaitFor([&] { return sink.shown.size() == 1; }, 5000));
  queue.Queue(ten[1]);
  EXPECT_TRUE(presenter.IsRunning());
  ASSERT_TRUE(QTest::qWaitFor([&] { return sink.shown.size() == 2; }, 5000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !presenter.IsRunning(); }, 5000));
  EXPECT_EQ(sink.shown, std::vector<BalloonInfo>(ten.begin(), ten.begin() + 2));

  presenter.Stop();
  queue.Queue(ten[2]);
  QTest::qWait(100);
  EXPECT_EQ(sink.shown.size(), 2u);  // stopped: queued, not shown
  EXPECT_FALSE(presenter.IsRunning());
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
