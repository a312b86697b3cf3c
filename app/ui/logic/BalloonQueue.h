// Tray balloons waiting to be shown: the card monitor and the interface thread queue
// them, the interface thread's timer shows the oldest one at a time.
#pragma once

#include <cstdint>
#include <deque>
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
  void Clear();
  size_t Size() const;

 private:
  mutable std::mutex lock_;
  std::deque<BalloonInfo> queue_;
};
