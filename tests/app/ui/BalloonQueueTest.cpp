#include <gtest/gtest.h>

#include <thread>

#include "BalloonQueue.h"

namespace {

TEST(BalloonQueueTest, TwoProducersLoseNothingAndKeepTheirOrder) {
  BalloonQueue queue;
  constexpr int kEach = 2000;
  auto produce = [&](const std::string& who) {
    for (int i = 0; i < kEach; ++i) queue.Queue({who, std::to_string(i), kBalloonWarning});
  };
  std::thread a(produce, "a"), b(produce, "b");
  // The consumer takes while the producers fill.
  std::vector<BalloonInfo> taken;
  while (taken.size() < 2 * kEach) {
    if (auto balloon = queue.TakeFirst()) taken.push_back(*balloon);
  }
  a.join();
  b.join();
  int next[2] = {0, 0};
  for (const BalloonInfo& balloon : taken) {
    const int who = balloon.title == "a" ? 0 : 1;
    EXPECT_EQ(balloon.text, std::to_string(next[who]));
    ++next[who];
  }
  EXPECT_EQ(next[0], kEach);
  EXPECT_EQ(next[1], kEach);
  EXPECT_EQ(queue.Size(), 0u);
}

TEST(BalloonQueueTest, TakeAllAndClear) {
  BalloonQueue queue;
  EXPECT_FALSE(queue.TakeFirst());
  queue.Queue({"1", "x", kBalloonInformation});
  queue.Queue({"2", "y", kBalloonError});
  const auto all = queue.TakeAll();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].title, "1");
  EXPECT_EQ(queue.Size(), 0u);
  queue.Queue({"3", "z", kBalloonInformation});
  queue.Clear();
  EXPECT_FALSE(queue.TakeFirst());
}

}  // namespace
