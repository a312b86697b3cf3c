#include "PinRules.h"

using Res::StringId;
using TvrCommon::SecureString;

namespace {

bool ShorterThan(const SecureString& value, int minimum) {
  return minimum > 0 && value.Length() < static_cast<size_t>(minimum);
}

}  // namespace

std::optional<StringId> CheckPinEntry(const SecureString& value, int minimum, bool isPuk) {
  if (ShorterThan(value, minimum)) return isPuk ? StringId::PukTooShort : StringId::PinTooShort;
  return std::nullopt;
}

std::optional<StringId> CheckPinChange(const SecureString& current, const SecureString& newPin,
                                       const SecureString& repeated, int minimum) {
  if (newPin != repeated) return StringId::NewPinsDiffer;
  if (ShorterThan(current, minimum)) return StringId::OldPinTooShort;
  if (ShorterThan(newPin, minimum)) return StringId::NewPinTooShort;
  return std::nullopt;
}

std::optional<StringId> CheckPinUnblock(const SecureString& puk, const SecureString& newPin,
                                        const SecureString& repeated, int pinMinimum,
                                        int pukMinimum) {
  if (newPin != repeated) return StringId::NewPinsDiffer;
  if (ShorterThan(puk, pukMinimum)) return StringId::PukTooShort;
  if (ShorterThan(newPin, pinMinimum)) return StringId::NewPinTooShort;
  return std::nullopt;
}

int EditLengthLimit(int maximum) { return maximum > 0 ? maximum : 0; }
