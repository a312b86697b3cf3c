#include "LoginFailedMessage.h"

#include <cstdio>
#include <cstring>

#include "Bit4idPin.h"
#include "CardPinCommands.h"
#include "EtokenPin.h"
#include "PKCS11Base.h"

namespace {

constexpr const char* kLoginFailed = "Sikertelen bejelentkezés!";
constexpr const char* kGlobalPinTries =
    "Globál PIN kód zárolva lesz %d hibás próbálkozás után.";
constexpr const char* kPinTries = "PIN kód zárolva lesz %d hibás próbálkozás után.";
constexpr const char* kGlobalPinLocked = "Globál PIN kód zárolva.";
constexpr const char* kPinLocked = "PIN kód zárolva.";

std::string WithTries(int tries, const char* triesText, const char* lockedText) {
  std::string message = kLoginFailed;
  if (tries < 0) return message;
  message += '\n';
  if (tries == 0) return message + lockedText;
  char line[128];
  std::snprintf(line, sizeof line, triesText, tries);
  return message + line;
}

}  // namespace

std::string BuildLoginFailedMessage(PKCS11Base* token) {
  const VendorModuleEntry* row = token ? token->GetVendorModule() : nullptr;
  if (!row) return kLoginFailed;
  const char* key = row->typeKey;
  if (std::strcmp(key, "Bit4ID") == 0) {
    return WithTries(Bit4idGetRetryCounter(token, kBit4idGlobalPin), kGlobalPinTries,
                     kGlobalPinLocked);
  }
  if (std::strcmp(key, "Gemalto") == 0) {
    return WithTries(GemaltoGetRetryCounter(token, 0), kPinTries, kPinLocked);
  }
  if (std::strcmp(key, "Gemalto2") == 0) {
    // The first of the four counters is the global PIN's; unreadable counters give -1.
    return WithTries(EtokenGetRetryCounter(token, 0), kGlobalPinTries, kGlobalPinLocked);
  }
  return kLoginFailed;
}
