// The PIN page of the property sheet: the PIN status, and the change and unblocking of
// the connected card's PINs as its card type allows.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <vector>

#include "PinOperations.h"
#include "QtPinPrompts.h"

class PinPage : public QWidget {
  Q_OBJECT
 public:
  PinPage(IPinPageHost& host, IUserPort& port, IPinVendorPaths& paths,
          QWidget* parent = nullptr);

  // Brings the buttons up to the connected card (each time the page is shown, and when
  // the main window refreshes the active page). While an operation runs they stay
  // disabled: it waits for the card away from the interface thread.
  void UpdateButtons();
  bool Running() const { return running_; }
  // While the window's own card work runs the buttons are disabled and the page keeps
  // them so; afterwards they are as they were (the window refreshes the active page).
  void SetCardUpdating(bool updating);

  QPushButton* statusButton;
  QPushButton* changeButton;
  QPushButton* unblockButton;
  QPushButton* signingChangeButton;
  QPushButton* signingUnblockButton;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Begin();
  void End();
  void Disable();
  void Restore();
  std::vector<QPushButton*> Buttons() const;

  IPinPageHost& host_;
  bool running_ = false;
  bool updating_ = false;
  std::vector<bool> enabledBefore_;
  QtPinPrompts prompts_;
  PinOperations operations_;
};
