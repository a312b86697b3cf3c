// PIN change, unblocking and retry counters of "Gemalto" cards by ISO 7816-4 commands the
// program sends itself over PC/SC. With both PIN texts given the whole command is built
// here; with neither, the reader's PIN pad fills it in (the PIN-pad library of
// platform/PinPad.h) while the reader-prompt library switches the reader's texts. Every
// call opens its own PC/SC context and connection, holds the card in a PC/SC transaction
// for its whole command sequence (connecting again once when another program reset the
// card), and leaves the card as it is. Nothing is logged: PIN blocks never leave this
// file except towards the card.
#pragma once

#include <PCSC/winscard.h>

#include <array>
#include <cstdint>
#include <string>

#include "VendorPin.h"
#include "platform/PinPad.h"

class PKCS11Base;

// The 13 texts the PIN pad shows for a change (the general set) or an unblocking, in the
// language of the loaded resources.
using PinPadPrompts = std::array<std::string, Platform::kPinPadPromptCount>;
PinPadPrompts PinPadPromptTexts(Platform::ReaderMessageSet set);

// The largest PIN block: Lc carries both blocks in one byte.
inline constexpr uint16_t kMaxPinBlockLength = 127;

// CHANGE REFERENCE DATA (00 24 00 81) with blocks of n bytes; minimumLength goes to the
// PIN pad. False for n of 0 or above kMaxPinBlockLength, a text longer than n, or exactly
// one text absent (nothing is sent then).
bool GemaltoChangePin(const std::string& readerName, uint16_t minimumLength, uint16_t n,
                      OwnedPin currentPin, OwnedPin newPin);
// RESET RETRY COUNTER (00 2C 00 81) with the PUK and the new PIN.
bool GemaltoUnblockPin(const std::string& readerName, uint16_t minimumLength, uint16_t n,
                       OwnedPin puk, OwnedPin newPin);

// The commands behind the two above with any header; they differ in the prompt texts
// and the reader messages of the PIN pad.
bool ApduChangePin(const std::string& readerName, uint16_t minimumLength, uint16_t n,
                   OwnedPin first, OwnedPin second, uint8_t cla, uint8_t ins, uint8_t p1,
                   uint8_t p2);
bool ApduUnblockPin(const std::string& readerName, uint16_t minimumLength, uint16_t n,
                    OwnedPin first, OwnedPin second, uint8_t cla, uint8_t ins, uint8_t p1,
                    uint8_t p2);

// Tries left for the PIN (index 0) or the PUK (index 1) of the card in the token's reader,
// read with GET DATA; -1 on any failure and for a byte that cannot be a count (above 15).
int GemaltoGetRetryCounter(const PKCS11Base* token, uint32_t index);

// Puts the general message set of the profile's language ("Language", default "HUN")
// into the reader; does nothing without the reader-prompt library.
void LoadReaderMessages(SCARDHANDLE card);
