#include "BalloonQueue.h"

void BalloonQueue::Queue(BalloonInfo balloon) {
  std::lock_guard<std::mutex> hold(lock_);
  queue_.push_back(std::move(balloon));
}

std::optional<BalloonInfo> BalloonQueue::TakeFirst() {
  std::lock_guard<std::mutex> hold(lock_);
  if (queue_.empty()) return std::nullopt;
  BalloonInfo first = std::move(queue_.front());
  queue_.pop_front();
  return first;
}

std::vector<BalloonInfo> BalloonQueue::TakeAll() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<BalloonInfo> all(std::make_move_iterator(queue_.begin()),
                               std::make_move_iterator(queue_.end()));
  queue_.clear();
  return all;
}

void BalloonQueue::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  queue_.clear();
}

size_t BalloonQueue::Size() const {
  std::lock_guard<std::mutex> hold(lock_);
  return queue_.size();
}
