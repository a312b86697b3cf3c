// The checks of the PIN and password dialogs, made when the user presses OK. Lengths are
// counted in characters (the fields take digits only). A maximum of 0 means no limit.
#pragma once

#include <optional>

#include "SecureString.h"
#include "Strings.h"

// One PIN or PUK: too short gives the PIN or PUK message.
std::optional<Res::StringId> CheckPinEntry(const TvrCommon::SecureString& value, int minimum,
                                           bool isPuk);
// Current and new PIN: the repetition is compared first, then the lengths.
std::optional<Res::StringId> CheckPinChange(const TvrCommon::SecureString& current,
                                            const TvrCommon::SecureString& newPin,
                                            const TvrCommon::SecureString& repeated,
                                            int minimum);
// PUK and new PIN: the repetition first, then the PUK's length, then the new PIN's.
std::optional<Res::StringId> CheckPinUnblock(const TvrCommon::SecureString& puk,
                                             const TvrCommon::SecureString& newPin,
                                             const TvrCommon::SecureString& repeated,
                                             int pinMinimum, int pukMinimum);

// The character limit an edit field gets for a maximum: none (0) for 0 or less.
int EditLengthLimit(int maximum);
