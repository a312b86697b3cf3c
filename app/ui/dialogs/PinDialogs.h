// The PIN and password dialogs. They check what the user typed when OK is pressed and
// hand the values over as zeroing strings; the edit fields are emptied on closing.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>

#include "SecureString.h"
#include "Strings.h"
#include "UserPort.h"

class PinDialogBase : public QDialog {
  Q_OBJECT
 protected:
  PinDialogBase(IUserPort& port, QWidget* parent);
  // A masked edit that takes digits only, limited to maximum characters (none for 0).
  QLineEdit* AddDigitsEdit(int maximum);
  // Takes the field's text into a zeroing string and empties the field.
  static TvrCommon::SecureString TakeText(QLineEdit* edit);
  static TvrCommon::SecureString PeekText(QLineEdit* edit);
  void Refuse(Res::StringId message);
  void done(int result) override;
  void AddButtons(class QLayout* layout);

  IUserPort& port_;
  std::vector<QLineEdit*> edits_;
};

// One PIN or PUK (log-in, reactivation).
class PinDialog : public PinDialogBase {
  Q_OBJECT
 public:
  PinDialog(IUserPort& port, bool isPuk, const QString& title, int minimum, int maximum,
            QWidget* parent = nullptr);
  const TvrCommon::SecureString& Value() const { return value_; }
  QLineEdit* Edit() { return edit_; }

 public:
  // OK: checks the fields; a refusal is told to the user and the dialog stays open.
  void accept() override;

 private:
  bool isPuk_;
  int minimum_;
  QLineEdit* edit_;
  TvrCommon::SecureString value_;
};

// The current and a new PIN (PIN change).
class PinChangeDialog : public PinDialogBase {
  Q_OBJECT
 public:
  PinChangeDialog(IUserPort& port, const QString& title, int minimum, int maximum,
                  QWidget* parent = nullptr);
  const TvrCommon::SecureString& CurrentPin() const { return current_; }
  const TvrCommon::SecureString& NewPin() const { return newPin_; }
  QLineEdit* CurrentEdit() { return edits_[0]; }
  QLineEdit* NewEdit() { return edits_[1]; }
  QLineEdit* RepeatEdit() { return edits_[2]; }

 public:
  // OK: checks the fields; a refusal is told to the user and the dialog stays open.
  void accept() override;

 private:
  int minimum_;
  TvrCommon::SecureString current_, newPin_;
};

// A PUK and a new PIN (unblocking, activation).
class PinUnblockDialog : public PinDialogBase {
  Q_OBJECT
 public:
  PinUnblockDialog(IUserPort& port, const QString& title, int pinMinimum, int pinMaximum,
                   int pukMinimum, int pukMaximum, QWidget* parent = nullptr);
  const TvrCommon::SecureString& Puk() const { return puk_; }
  const TvrCommon::SecureString& NewPin() const { return newPin_; }
  QLineEdit* PukEdit() { return edits_[0]; }
  QLineEdit* NewEdit() { return edits_[1]; }
  QLineEdit* RepeatEdit() { return edits_[2]; }

 public:
  // OK: checks the fields; a refusal is told to the user and the dialog stays open.
  void accept() override;

 private:
  int pinMinimum_, pukMinimum_;
  TvrCommon::SecureString puk_, newPin_;
};

// The password of a PFX file; any characters, empty accepted.
class PasswordDialog : public PinDialogBase {
  Q_OBJECT
 public:
  PasswordDialog(IUserPort& port, const QString& subject, QWidget* parent = nullptr);
  const TvrCommon::SecureString& Password() const { return password_; }
  QLineEdit* Edit() { return edit_; }

 public:
  // OK: checks the fields; a refusal is told to the user and the dialog stays open.
  void accept() override;

 private:
  QLineEdit* edit_;
  TvrCommon::SecureString password_;
};
