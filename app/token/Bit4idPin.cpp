#include "Bit4idPin.h"

#include "CardRecognition.h"
#include "PKCS11Base.h"
#include "platform/ScopedLibrary.h"

namespace {

// The library's exports as it defines them; every one returns 0 for success except the
// retry counter, which returns the count.
extern "C" {
typedef int (*ChangePinPukFn)(int reader, int reserved,
                              const char* globalPinOld, int globalPinOldLength,
                              const char* globalPinNew, int globalPinNewLength,
                              const char* globalPukOld, int globalPukOldLength,
                              const char* globalPukNew, int globalPukNewLength,
                              const char* signingPinOld, int signingPinOldLength,
                              const char* signingPinNew, int signingPinNewLength,
                              const char* signingPukOld, int signingPukOldLength,
                              const char* signingPukNew, int signingPukNewLength,
                              int reserved2, int reserved3);
typedef int (*UnblockPinFn)(int reader, int reserved,
                            const char* globalPuk, int globalPukLength,
                            const char* globalPinNew, int globalPinNewLength,
                            const char* signingPuk, int signingPukLength,
                            const char* signingPinNew, int signingPinNewLength,
                            int reserved2, int reserved3);
typedef int (*PinPadFn)(int reader, int selector);
typedef int (*ReactivatePinFn)(int reader, int reserved, const char* pin, int pinLength,
                               int r1, int r2, int r3, int r4, int r5, int r6);
typedef int (*ReactivatePinPadFn)(int reader);
typedef int (*GetPinLimitFn)(int reader, int reserved, int* globalPinMin, int* globalPinMax,
                             int* globalPukMin, int* globalPukMax, int* signingPinMin,
                             int* signingPinMax, int* signingPukMin, int* signingPukMax);
typedef int (*GetRetryCountersFn)(int reader, int selector, int reserved, int reserved2);
}

// One (current, new) pair of texts, as the library takes it: text and byte count, or
// null and 0 for a kind that is not changed.
struct TextPair {
  const char* first = nullptr;
  int firstLength = 0;
  const char* second = nullptr;
  int secondLength = 0;
};

TextPair Pair(const TvrCommon::SecureString& first, const TvrCommon::SecureString& second) {
  return {first.CStr(), static_cast<int>(first.Length()), second.CStr(),
          static_cast<int>(second.Length())};
}

}  // namespace

bool Bit4idChangePinPuk(const std::string& readerName, uint32_t selector, OwnedPin oldText,
                        OwnedPin newText) {
  const int reader = GetReaderNumber(readerName);
  const Platform::ScopedLibrary library(kBit4idLibrary);
  if (!library.Loaded()) return false;
  if (!oldText || !newText) {
    const auto pinPad = library.Find<PinPadFn>("CNS_DS_ChangePinPuk_pinpad");
    return pinPad && pinPad(reader, static_cast<int>(selector)) == 0;
  }
  const auto change = library.Find<ChangePinPukFn>("CNS_DS_ChangePinPuk");
  if (!change) return false;
  // One group per PIN kind; only the global and the signing PIN are ever changed here.
  TextPair groups[4];
  if (selector == kBit4idGlobalPin || selector == kBit4idSigningPin) {
    groups[selector] = Pair(*oldText, *newText);
  }
  const TextPair& g0 = groups[0];
  const TextPair& g1 = groups[1];
  const TextPair& g2 = groups[2];
  const TextPair& g3 = groups[3];
  return change(reader, 0,
                g0.first, g0.firstLength, g0.second, g0.secondLength,
                g1.first, g1.firstLength, g1.second, g1.secondLength,
                g2.first, g2.firstLength, g2.second, g2.secondLength,
                g3.first, g3.firstLength, g3.second, g3.secondLength,
                0, 0) == 0;
}

bool Bit4idUnblockPin(const std::string& readerName, uint32_t selector, OwnedPin puk,
                      OwnedPin newPin) {
  const int reader = GetReaderNumber(readerName);
  const Platform::ScopedLibrary library(kBit4idLibrary);
  if (!library.Loaded()) return false;
  if (!puk || !newPin) {
    const auto pinPad = library.Find<PinPadFn>("CNS_DS_UnblockPin_pinpad");
    return pinPad && pinPad(reader, static_cast<int>(selector)) == 0;
  }
  const auto unblock = library.Find<UnblockPinFn>("CNS_DS_UnblockPin");
  if (!unblock) return false;
  // Selector 0 is the global PIN's group, 1 the signing PIN's.
  TextPair groups[2];
  if (selector <= 1) groups[selector] = Pair(*puk, *newPin);
  const TextPair& global = groups[0];
  const TextPair& signing = groups[1];
  return unblock(reader, 0,
                 global.first, global.firstLength, global.second, global.secondLength,
                 signing.first, signing.firstLength, signing.second, signing.secondLength,
                 0, 0) == 0;
}

bool Bit4idReactivatePin(int readerNumber, OwnedPin pin) {
  const Platform::ScopedLibrary library(kBit4idLibrary);
  if (!library.Loaded()) return false;
  if (!pin) {
    const auto pinPad = library.Find<ReactivatePinPadFn>("DS_ReactivatePin_pinpad");
    return pinPad && pinPad(readerNumber) == 0;
  }
  const auto reactivate = library.Find<ReactivatePinFn>("DS_ReactivatePin");
  return reactivate &&
         reactivate(readerNumber, 0, pin->CStr(), static_cast<int>(pin->Length()), 0, 0, 0, 0,
                    0, 0) == 0;
}

bool Bit4idGetPinLimit(int readerNumber, Bit4idPinLimits& limits) {
  const Platform::ScopedLibrary library(kBit4idLibrary);
  const auto getLimit = library.Find<GetPinLimitFn>("CNS_DS_GetPinLimit");
  if (!getLimit) return false;
  // Into a copy, so a failing call cannot leave half-written bounds behind.
  Bit4idPinLimits read = limits;
  if (getLimit(readerNumber, 0, &read.globalPin.minimum, &read.globalPin.maximum,
               &read.globalPuk.minimum, &read.globalPuk.maximum, &read.signingPin.minimum,
               &read.signingPin.maximum, &read.signingPuk.minimum,
               &read.signingPuk.maximum) != 0) {
    return false;
  }
  limits = read;
  return true;
}

int Bit4idGetRetryCounter(const PKCS11Base* token, uint8_t selector) {
  if (!token) return -1;
  const int reader = GetReaderNumber(token->GetReaderName());
  const Platform::ScopedLibrary library(kBit4idLibrary);
  const auto getCounter = library.Find<GetRetryCountersFn>("CNS_DS_GetRetrycounters");
  if (!getCounter) return -1;
  return PlausibleTries(getCounter(reader, selector, 0, 0));
}
