// The progress window of the renewal worker: one row per step, marked as the worker
// reports, the running step with a spinner beside it, and OK once everything is done.
// It cannot be closed before the final report: the worker uses its caller's data.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "RenewalWorker.h"
#include "TaskListState.h"

class TaskListDialog : public QDialog, public TvrServices::IRenewalProgress {
  Q_OBJECT
 public:
  TaskListDialog(const QString& title, std::vector<std::string> tasks, QWidget* parent = nullptr);

  // Called once, when the rows have first been shown (starts the worker).
  void SetWorkerStart(std::function<void()> start) { start_ = std::move(start); }

  // Reports of the worker thread, handed on to the dialog's thread in their order.
  void TaskStarted(int kind, int index) override;
  void TaskFinished(int kind, int index) override;

  // The reports as the dialog's thread handles them.
  void OnTaskStarted(int kind, int index);
  void OnTaskFinished(int kind, int index);
  // The spinner timer's tick.
  void OnTimer();

  // Escape and the close box are refused while the worker runs.
  void reject() override;

  const TaskListState& State() const { return state_; }
  QListWidget* List() const { return list_; }
  QLabel* Spinner() const { return spinner_; }
  QLabel* CurrentStep() const { return current_; }
  QPushButton* OkButton() const { return ok_; }
  QTimer* SpinnerTimer() { return &timer_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void ShowState();
  bool Closable() const { return state_.Finished() || !started_; }

  TaskListState state_;
  std::array<QIcon, 3> icons_;  // by TaskImage
  QListWidget* list_;
  QLabel* spinner_;
  QLabel* current_;
  QPushButton* ok_;
  QTimer timer_;
  std::function<void()> start_;
  bool started_ = false;  // the worker was started or reported its start
};
