#include "BalloonQueue.h"

void BalloonQueue::Queue(BalloonInfo balloon) {
  std::lock_guard<std::mutex> hold(lock_);
  const bool wasEmpty = queue_.empty();
  queue_.push_back({std::move(balloon), std::chrono::steady_clock::now()});
  if (wasEmpty && onFirstQueued_) onFirstQueued_();
}

std::optional<BalloonInfo> BalloonQueue::TakeFirst() {
  std::lock_guard<std::mutex> hold(lock_);
  if (queue_.empty()) return std::nullopt;
  BalloonInfo first = std::move(queue_.front().balloon);
  queue_.pop_front();
  return first;
}

std::vector<BalloonInfo> BalloonQueue::TakeAll() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<BalloonInfo> all;
  for (Entry& entry : queue_) all.push_back(std::move(entry.balloon));
  queue_.clear();
  return all;
}

std::vector<BalloonInfo> BalloonQueue::TakeRecent(std::chrono::milliseconds age) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto now = std::chrono::steady_clock::now();
  std::vector<BalloonInfo> taken;
  for (Entry& entry : queue_)
    if (now - entry.queued <= age) taken.push_back(std::move(entry.balloon));
  queue_.clear();
  return taken;
}

void BalloonQueue::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  queue_.clear();
}

size_t BalloonQueue::Size() const {
  std::lock_guard<std::mutex> hold(lock_);
  return queue_.size();
}

void BalloonQueue::SetOnFirstQueued(std::function<void()> notify) {
  std::lock_guard<std::mutex> hold(lock_);
  onFirstQueued_ = std::move(notify);
}
