#include "PinDialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include <cstring>

#include "PinRules.h"
#include "UiText.h"

using Res::StringId;
using TvrCommon::SecureString;

PinDialogBase::PinDialogBase(IUserPort& port, QWidget* parent) : QDialog(parent), port_(port) {
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

QLineEdit* PinDialogBase::AddDigitsEdit(int maximum) {
  auto* edit = new QLineEdit(this);
  edit->setEchoMode(QLineEdit::Password);
  edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  // Qt's own default (32767) stands for "no limit": setMaxLength(0) would refuse all input.
  if (const int limit = EditLengthLimit(maximum)) edit->setMaxLength(limit);
  edits_.push_back(edit);
  return edit;
}

SecureString PinDialogBase::PeekText(QLineEdit* edit) {
  QByteArray bytes = edit->text().toUtf8();
  SecureString value(bytes.constData());
  std::memset(bytes.data(), 0, static_cast<size_t>(bytes.size()));
  return value;
}

SecureString PinDialogBase::TakeText(QLineEdit* edit) {
  SecureString value = PeekText(edit);
  edit->clear();
  return value;
}

void PinDialogBase::Refuse(StringId message) {
  port_.MessageBox(Res::Text(message), "", Platform::kMbIconError);
}

void PinDialogBase::done(int result) {
  for (QLineEdit* edit : edits_) edit->clear();
  QDialog::done(result);
}

void PinDialogBase::AddButtons(QLayout* layout) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

PinDialog::PinDialog(IUserPort& port, bool isPuk, const QString& title, int minimum, int maximum,
                     QWidget* parent)
    : PinDialogBase(port, parent), isPuk_(isPuk), minimum_(minimum) {
  setWindowTitle(!title.isEmpty() ? title
                                   : T(isPuk ? StringId::PukDialogTitle : StringId::PinDialogTitle));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  edit_ = AddDigitsEdit(maximum);
  form->addRow(T(isPuk ? StringId::PukLabel : StringId::PinLabel) + ":", edit_);
  layout->addLayout(form);
  AddButtons(layout);
  edit_->setFocus();
  setMinimumWidth(320);
}

void PinDialog::accept() {
  SecureString value = PeekText(edit_);
  if (auto refusal = CheckPinEntry(value, minimum_, isPuk_)) {
    Refuse(*refusal);
    return;
  }
  value_ = value;
  QDialog::accept();
}

PinChangeDialog::PinChangeDialog(IUserPort& port, const QString& title, int minimum, int maximum,
                                 QWidget* parent)
    : PinDialogBase(port, parent), minimum_(minimum) {
  setWindowTitle(title);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  form->addRow(T(StringId::CurrentPinLabel), AddDigitsEdit(maximum));
  form->addRow(T(StringId::NewPinLabel), AddDigitsEdit(maximum));
  form->addRow(T(StringId::NewPinAgainLabel), AddDigitsEdit(maximum));
  layout->addLayout(form);
  AddButtons(layout);
  edits_[0]->setFocus();
  setMinimumWidth(380);
}

void PinChangeDialog::accept() {
  const SecureString current = PeekText(edits_[0]);
  const SecureString a = PeekText(edits_[1]);
  const SecureString b = PeekText(edits_[2]);
  if (auto refusal = CheckPinChange(current, a, b, minimum_)) {
    Refuse(*refusal);
    return;
  }
  current_ = current;
  newPin_ = a;
  QDialog::accept();
}

PinUnblockDialog::PinUnblockDialog(IUserPort& port, const QString& title, int pinMinimum,
                                   int pinMaximum, int pukMinimum, int pukMaximum, QWidget* parent)
    : PinDialogBase(port, parent), pinMinimum_(pinMinimum), pukMinimum_(pukMinimum) {
  setWindowTitle(title);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  form->addRow(T(StringId::PukCodeLabel), AddDigitsEdit(pukMaximum));
  form->addRow(T(StringId::NewPinLabel), AddDigitsEdit(pinMaximum));
  form->addRow(T(StringId::NewPinAgainLabel), AddDigitsEdit(pinMaximum));
  layout->addLayout(form);
  AddButtons(layout);
  edits_[0]->setFocus();
  setMinimumWidth(380);
}

void PinUnblockDialog::accept() {
  const SecureString puk = PeekText(edits_[0]);
  const SecureString a = PeekText(edits_[1]);
  const SecureString b = PeekText(edits_[2]);
  if (auto refusal = CheckPinUnblock(puk, a, b, pinMinimum_, pukMinimum_)) {
    Refuse(*refusal);
    return;
  }
  puk_ = puk;
  newPin_ = a;
  QDialog::accept();
}

PasswordDialog::PasswordDialog(IUserPort& port, const QString& subject, QWidget* parent)
    : PinDialogBase(port, parent) {
  setWindowTitle(T(StringId::PasswordDialogTitle));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(T(StringId::PasswordPrompt), this));
  auto* subjectEdit = new QLineEdit(subject, this);
  subjectEdit->setReadOnly(true);
  layout->addWidget(subjectEdit);
  auto* form = new QFormLayout;
  edit_ = new QLineEdit(this);
  edit_->setEchoMode(QLineEdit::Password);
  edits_.push_back(edit_);
  form->addRow(T(StringId::PasswordLabel), edit_);
  layout->addLayout(form);
  AddButtons(layout);
  edit_->setFocus();
  setMinimumWidth(380);
}

void PasswordDialog::accept() {
  password_ = PeekText(edit_);
  QDialog::accept();
}
