#include "QtPinPrompts.h"

#include "PinDialogs.h"
#include "UiText.h"

using TvrCommon::SecureString;

namespace {

OwnedPin Own(const SecureString& value) { return std::make_unique<SecureString>(value); }

}  // namespace

OwnedPin QtPinPrompts::AskPuk(const std::string& title, int minimum, int maximum) {
  PinDialog dialog(port_, true, Q(title), minimum, maximum, parent_.data());
  if (dialog.exec() != QDialog::Accepted) return nullptr;
  return Own(dialog.Value());
}

std::optional<PinPair> QtPinPrompts::AskChange(const std::string& title, int minimum,
                                               int maximum) {
  PinChangeDialog dialog(port_, Q(title), minimum, maximum, parent_.data());
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return PinPair{Own(dialog.CurrentPin()), Own(dialog.NewPin())};
}

std::optional<PinPair> QtPinPrompts::AskUnblock(const std::string& title, int pinMinimum,
                                                int pinMaximum, int pukMinimum, int pukMaximum) {
  PinUnblockDialog dialog(port_, Q(title), pinMinimum, pinMaximum, pukMinimum, pukMaximum,
                          parent_.data());
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return PinPair{Own(dialog.Puk()), Own(dialog.NewPin())};
}
