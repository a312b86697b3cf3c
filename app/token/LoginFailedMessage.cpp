#include "LoginFailedMessage.h"

#include <cstdio>
#include <cstring>

#include "Bit4idPin.h"
#include "CardPinCommands.h"
#include "EtokenPin.h"
#include "PKCS11Base.h"
#include "Strings.h"

namespace {

using Res::StringId;

std::string WithTries(int tries, StringId triesText, StringId lockedText) {
  std::string message = Res::Text(StringId::LoginFailed);
  if (tries < 0) return message;
  message += '\n';
  if (tries == 0) return message + Res::Text(lockedText);
  char line[256];
  std::snprintf(line, sizeof line, Res::Text(triesText).c_str(), tries);
  return message + line;
}

}  // namespace

std::string BuildLoginFailedMessage(PKCS11Base* token) {
  const VendorModuleEntry* row = token ? token->GetVendorModule() : nullptr;
  if (!row) return Res::Text(StringId::LoginFailed);
  const char* key = row->typeKey;
  if (std::strcmp(key, "Bit4ID") == 0) {
    return WithTries(Bit4idGetRetryCounter(token, kBit4idGlobalPin), StringId::GlobalPinTriesLeft,
                     StringId::GlobalPinLocked);
  }
  if (std::strcmp(key, "Gemalto") == 0) {
    return WithTries(GemaltoGetRetryCounter(token, 0), StringId::PinTriesLeft, StringId::PinLocked);
  }
  if (std::strcmp(key, "Gemalto2") == 0) {
    // The first of the four counters is the global PIN's; unreadable counters give -1.
    return WithTries(EtokenGetRetryCounter(token, 0), StringId::GlobalPinTriesLeft, StringId::GlobalPinLocked);
  }
  return Res::Text(StringId::LoginFailed);
}
