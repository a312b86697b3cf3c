// What the vendor PIN paths share: PIN texts handed over with their ownership, and the
// guard that keeps a vendor's error result from being shown as a number of tries.
#pragma once

#include <cstdint>
#include <memory>

#include "SecureString.h"

// A PIN text (UTF-8) handed to a function that owns it from then on; the zeroing string
// wipes it when the function is done with it. Null means "ask the reader's PIN pad".
using OwnedPin = std::unique_ptr<TvrCommon::SecureString>;

inline OwnedPin MakePin(const char* text) {
  return std::make_unique<TvrCommon::SecureString>(text);
}

// ISO 7816 retry counters fit in a nibble (SW 63 Cx); anything outside 0..15 is a
// vendor error code, not a count.
inline constexpr int64_t kMaxPlausibleTries = 15;

// The count, or -1 (no counter) for a value that cannot be a count.
inline int PlausibleTries(int64_t value) {
  return value >= 0 && value <= kMaxPlausibleTries ? static_cast<int>(value) : -1;
}
