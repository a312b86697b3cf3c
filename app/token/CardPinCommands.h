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
#include <optional>
#include <string>
#include <vector>

#include "VendorPin.h"
#include "platform/PinPad.h"

class PKCS11Base;

// The 13 texts the PIN pad shows for a change (the general set) or an unblocking, in the
// language of the loaded resources.
using PinPadPrompts = std::array<std::string, Platform::kPinPadPromptCount>;
PinPadPrompts PinPadPromptTexts(Platform::ReaderMessageSet set);

// Which card sits in a reader: its answer-to-reset and the reader's event count (the
// insertions and removals the service has counted there). Another card of the same type
// has the same answer-to-reset but another count.
struct CardIdentity {
  std::vector<uint8_t> atr;
  uint16_t events = 0;
  bool operator==(const CardIdentity& other) const { return atr == other.atr && events == other.events; }
  bool operator!=(const CardIdentity& other) const { return !(*this == other); }
};

// The card in the reader now; none when the reader is empty or cannot be asked.
std::optional<CardIdentity> ReadCardIdentity(const std::string& readerName);
// Whether the card in the reader is still `expected` (false when it cannot be told).
bool CardStillIn(const std::string& readerName, const CardIdentity& expected);

// The largest PIN block: Lc carries both blocks in one byte.
inline constexpr uint16_t kMaxPinBlockLength = 127;

// CHANGE REFERENCE DATA (00 24 00 81) with blocks of n bytes; minimumLength goes to the
// PIN pad. False for n of 0 or above kMaxPinBlockLength, a text longer than n, or exactly
// one text absent (nothing is sent then). With `expected`, false without sending anything
// when the card found holding the reader is not that card any more.
bool GemaltoChangePin(const std::string& readerName, uint16_t minimumLength, uint16_t n,
                      OwnedPin currentPin, OwnedPin newPin, const CardIdentity* expected = nullptr);
// RESET RETRY COUNTER (00 2C 00 81) with the PUK and the new PIN.
bool GemaltoUnblockPin(const std::string& readerName, uint16_t minimumLength, uint16_t n,
                       OwnedPin puk, OwnedPin newPin, const CardIdentity* expected = nullptr);

// The commands behind the two above with any header; they differ in the prompt texts
// and the reader messages of the PIN pad.
bool ApduChangePin(const std::string& readerName, uint16_t minimumLength, uint16_t n,
                   OwnedPin first, OwnedPin second, uint8_t cla, uint8_t ins, uint8_t p1,
                   uint8_t p2, const CardIdentity* expected = nullptr);
bool ApduUnblockPin(const std::string& readerName, uint16_t minimumLength, uint16_t n,
                    OwnedPin first, OwnedPin second, uint8_t cla, uint8_t ins, uint8_t p1,
                    uint8_t p2, const CardIdentity* expected = nullptr);

// Tries left for the PIN (index 0) or the PUK (index 1) of the card in the token's reader,
// read with GET DATA; -1 on any failure and for a byte that cannot be a count (above 15).
int GemaltoGetRetryCounter(const PKCS11Base* token, uint32_t index);

// Puts the general message set of the profile's language ("Language", default "HUN")
// into the reader; does nothing without the reader-prompt library.
void LoadReaderMessages(SCARDHANDLE card);
