// PIN change, unblocking, reactivation, length limits and retry counters of "Bit4ID"
// cards, through the vendor's utility library ("bit4utl.dll", libbit4utl.so here). The
// library is loaded at every call and unloaded again; without it (or without the export
// a call needs) every function takes its failure result. Readers are addressed by their
// 1-based PC/SC position (GetReaderNumber). Nothing here writes an event: callers turn
// the results into their own messages.
#pragma once

#include <cstdint>
#include <string>

#include "VendorPin.h"

class PKCS11Base;

inline constexpr const char* kBit4idLibrary = "bit4utl.dll";

// PIN kinds, as the library's selectors.
enum Bit4idPinKind : uint8_t {
  kBit4idGlobalPin = 0,
  kBit4idGlobalPuk = 1,
  kBit4idSigningPin = 2,
  kBit4idSigningPuk = 3,
};

// Changes the PIN of selector 0 (global) or 2 (signing). A null text on either side
// lets the reader's PIN pad take both values.
bool Bit4idChangePinPuk(const std::string& readerName, uint32_t selector, OwnedPin oldText,
                        OwnedPin newText);

// Unblocks the global PIN (selector 0) or the signing PIN (selector 1) with its PUK.
bool Bit4idUnblockPin(const std::string& readerName, uint32_t selector, OwnedPin puk,
                      OwnedPin newPin);

// Activates the signing PIN of a card in transport state with the given value.
bool Bit4idReactivatePin(int readerNumber, OwnedPin pin);

struct PinLengthBounds {
  int minimum = 1;
  int maximum = 16;
};

// The length bounds of the four PIN kinds; the defaults are what callers assume when the
// library cannot tell.
struct Bit4idPinLimits {
  PinLengthBounds globalPin;
  PinLengthBounds globalPuk;
  PinLengthBounds signingPin;
  PinLengthBounds signingPuk;
};

// Fills limits only when the library answers with success.
bool Bit4idGetPinLimit(int readerNumber, Bit4idPinLimits& limits);

// Tries left for the PIN kind of the token's reader; -1 when the library or the export is
// missing or its answer is not a count.
int Bit4idGetRetryCounter(const PKCS11Base* token, uint8_t selector);
