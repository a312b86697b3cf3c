// Tray balloons waiting to be shown: the card monitor and the interface thread queue
// them, the interface thread's timer shows the oldest one at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

inline constexpr uint32_t kBalloonInformation = 1;
inline constexpr uint32_t kBalloonWarning = 2;
inline constexpr uint32_t kBalloonError = 3;

struct BalloonInfo {
  std::string title;
  std::string text;
  uint32_t icon = kBalloonInformation;
  bool operator==(const BalloonInfo&) const = default;
};

class BalloonQueue {
 public:
  void Queue(BalloonInfo balloon);
  // The oldest balloon, removed from the queue; none when the queue is empty.
  std::optional<BalloonInfo> TakeFirst();
  // Everything queued, oldest first; the queue is empty afterwards.
  std::vector<BalloonInfo> TakeAll();
  // What was queued within the last `age`, oldest first; the queue is empty afterwards.
  std::vector<BalloonInfo> TakeRecent(std::chrono::milliseconds age);
  void Clear();
  size_t Size() const;

  // Called, on the queuing thread and under the queue's lock, when a balloon goes into an
  // empty queue: whoever shows them need not look while nothing is queued. Null: none.
  void SetOnFirstQueued(std::function<void()> notify);

 private:
  struct Entry {
    BalloonInfo balloon;
    std::chrono::steady_clock::time_point queued;
  };
  mutable std::mutex lock_;
  std::deque<Entry> queue_;
  std::function<void()> onFirstQueued_;
};
