// "Waiting for the service" while the service-wait thread runs: the text, a row of dots
// that moves once a second, and the end of the dialog on the first tick after the
// thread has finished.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QTimer>
#include <functional>

class WaitingDialog : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kTimerId = 1;
  static constexpr int kTickMs = 1000;

  WaitingDialog(const QString& text, std::function<bool()> finished, QWidget* parent = nullptr,
                int tickMs = kTickMs);
  QString Dots() const { return dots_->text(); }
  void Tick();

 protected:
  void reject() override {}  // Escape does not end the wait

 private:
  QLabel* text_;
  QLabel* dots_;
  QTimer timer_;
  std::function<bool()> finished_;
};
