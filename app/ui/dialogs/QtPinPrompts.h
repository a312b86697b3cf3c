// The PIN questions as the program's PIN dialogs, owned by a parent window (none for the
// activation on insertion).
#pragma once

#include <QPointer>
#include <QWidget>

#include "PinPrompts.h"
#include "UserPort.h"

class QtPinPrompts : public IPinPrompts {
 public:
  // port: where the dialogs' refusals (too short, mismatch) are told.
  QtPinPrompts(IUserPort& port, QWidget* parent = nullptr) : port_(port), parent_(parent) {}

  OwnedPin AskPuk(const std::string& title, int minimum, int maximum) override;
  std::optional<PinPair> AskChange(const std::string& title, int minimum, int maximum) override;
  std::optional<PinPair> AskUnblock(const std::string& title, int pinMinimum, int pinMaximum,
                                    int pukMinimum, int pukMaximum) override;

 private:
  IUserPort& port_;
  QPointer<QWidget> parent_;
};
