// The task list of a worker's steps: one row per step, each pending, succeeded or
// failed as the worker reports, the running step's text with a spinner beside it, and
// OK usable only once the worker has finished.
#pragma once

#include <string>
#include <vector>

enum class TaskImage { Pending = 0, Succeeded = 1, Failed = 2 };

class TaskListState {
 public:
  static constexpr int kTimerPeriodMs = 200;

  explicit TaskListState(std::vector<std::string> tasks);

  // Reports of the worker: (0, -1) started, (1, i) step i begins.
  void OnTaskStarted(int kind, int index);
  // (0, i) step i succeeded, (1, i) failed, (2, -1) all finished.
  void OnTaskFinished(int kind, int index);
  // The spinner timer's tick (ignored unless it runs).
  void OnTimer();

  // "|" -> "/" -> "-" -> "\" -> "|"; any other text -> "|".
  static std::string NextSpinner(const std::string& text);

  const std::vector<std::string>& Tasks() const { return tasks_; }
  const std::vector<TaskImage>& Images() const { return images_; }
  const std::string& Spinner() const { return spinner_; }
  const std::string& CurrentStep() const { return current_; }
  bool TimerRunning() const { return timerRunning_; }
  bool OkEnabled() const { return finished_; }
  bool Finished() const { return finished_; }

 private:
  bool ValidRow(int index) const { return index >= 0 && static_cast<size_t>(index) < tasks_.size(); }

  std::vector<std::string> tasks_;
  std::vector<TaskImage> images_;
  std::string spinner_;
  std::string current_;
  bool timerRunning_ = false;
  bool finished_ = false;
};
