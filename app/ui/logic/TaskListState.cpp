#include "TaskListState.h"

TaskListState::TaskListState(std::vector<std::string> tasks)
    : tasks_(std::move(tasks)), images_(tasks_.size(), TaskImage::Pending) {}

void TaskListState::OnTaskStarted(int kind, int index) {
  if (kind == 0) {
    finished_ = false;
    timerRunning_ = true;
  } else if (kind == 1 && ValidRow(index)) {
    current_ = tasks_[static_cast<size_t>(index)];
  }
}

void TaskListState::OnTaskFinished(int kind, int index) {
  if (kind == 0 || kind == 1) {
    if (ValidRow(index)) images_[static_cast<size_t>(index)] = kind == 0 ? TaskImage::Succeeded : TaskImage::Failed;
  } else if (kind == 2) {
    finished_ = true;
    timerRunning_ = false;
    spinner_.clear();
    current_.clear();
  }
}

void TaskListState::OnTimer() {
  if (timerRunning_ && !finished_) spinner_ = NextSpinner(spinner_);
}

std::string TaskListState::NextSpinner(const std::string& text) {
  if (text == "|") return "/";
  if (text == "/") return "-";
  if (text == "-") return "\\";
  return "|";
}
