// The user port of the program: message boxes as Qt dialogs over the program's windows.
#pragma once

#include <QPointer>
#include <QWidget>

#include "UserPort.h"

class QtUserPort : public IUserPort {
 public:
  // Boxes belong to the parent when one is set (the main window once it exists).
  void SetParent(QWidget* parent) { parent_ = parent; }
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
  // The program ends: a box asked for from now on is logged instead of shown, and gets
  // the answer of closing it.
  void SetEnded() { ended_ = true; }
  bool Ended() const { return ended_; }

  // Routes the message boxes of the code below the interface (token layer) to this port.
  void InstallAsPlatformHandler();

 private:
  QPointer<QWidget> parent_;
  bool ended_ = false;
};
