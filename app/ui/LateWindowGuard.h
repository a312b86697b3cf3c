// Once the program has ended nothing more reaches the screen: a window that a late
// follow-up of a command opens all the same (a box, a dialog, a pop-up) is kept off the
// screen, logged and closed again at once, so that a dialog's own loop ends as well.
#pragma once

#include <QObject>

class LateWindowGuard : public QObject {
  Q_OBJECT
 public:
  // Watches every window of the application from now on.
  explicit LateWindowGuard(QObject* parent = nullptr);
  ~LateWindowGuard() override;
  // The windows kept off the screen so far.
  int Kept() const { return kept_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  int kept_ = 0;
};
