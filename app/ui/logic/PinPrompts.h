// The PIN questions of the PIN activation and the PIN page. Every value comes back as an
// owning zeroing string; nothing else keeps a copy.
#pragma once

#include <optional>
#include <string>

#include "VendorPin.h"

// Change: current PIN and new PIN. Unblock: PUK and new PIN.
struct PinPair {
  OwnedPin first;
  OwnedPin second;
};

class IPinPrompts {
 public:
  virtual ~IPinPrompts() = default;
  // One PUK; null when the user cancelled.
  virtual OwnedPin AskPuk(const std::string& title, int minimum, int maximum) = 0;
  // The current and a new PIN; nothing when the user cancelled.
  virtual std::optional<PinPair> AskChange(const std::string& title, int minimum,
                                           int maximum) = 0;
  // A PUK and a new PIN; nothing when the user cancelled.
  virtual std::optional<PinPair> AskUnblock(const std::string& title, int pinMinimum,
                                            int pinMaximum, int pukMinimum, int pukMaximum) = 0;
};
