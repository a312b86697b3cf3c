// The question of the window's close box: close the program, hide it, or neither.
#pragma once

#include <QDialog>
#include <QPushButton>

class CloseOrHideDialog : public QDialog {
  Q_OBJECT
 public:
  enum Choice { None = 0, Close = 1, Hide = 2 };
  explicit CloseOrHideDialog(QWidget* parent = nullptr);
  Choice GetChoice() const { return choice_; }
  QPushButton* CloseButton() { return close_; }
  QPushButton* HideButton() { return hide_; }

 private:
  Choice choice_ = None;
  QPushButton* close_;
  QPushButton* hide_;
};
