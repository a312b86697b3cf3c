#include "PinVendorPaths.h"

#include <utility>

#include "CardPinCommands.h"
#include "CardRecognition.h"
#include "EtokenPin.h"

using TvrCommon::SecureString;

int SystemPinVendorPaths::ReaderNumber(const std::string& readerName) {
  return ::GetReaderNumber(readerName);
}

std::optional<CardIdentity> SystemPinVendorPaths::ReadCardIdentity(const std::string& readerName) {
  return ::ReadCardIdentity(readerName);
}

bool SystemPinVendorPaths::CardStillIn(const std::string& readerName, const CardIdentity& expected) {
  return ::CardStillIn(readerName, expected);
}

bool SystemPinVendorPaths::Bit4idGetPinLimit(int readerNumber, Bit4idPinLimits& limits) {
  return ::Bit4idGetPinLimit(readerNumber, limits);
}

int SystemPinVendorPaths::Bit4idGetRetryCounter(const PKCS11Base* token, uint8_t selector) {
  return ::Bit4idGetRetryCounter(token, selector);
}

// The vendor's library connects by itself: the card is asked just before it is handed over.
bool SystemPinVendorPaths::Bit4idChangePinPuk(const std::string& readerName, uint32_t selector,
                                              OwnedPin oldPin, OwnedPin newPin,
                                              const CardIdentity* expected) {
  if (expected && !::CardStillIn(readerName, *expected)) return false;
  return ::Bit4idChangePinPuk(readerName, selector, std::move(oldPin), std::move(newPin));
}

bool SystemPinVendorPaths::Bit4idUnblockPin(const std::string& readerName, uint32_t selector,
                                            OwnedPin puk, OwnedPin newPin,
                                            const CardIdentity* expected) {
  if (expected && !::CardStillIn(readerName, *expected)) return false;
  return ::Bit4idUnblockPin(readerName, selector, std::move(puk), std::move(newPin));
}

bool SystemPinVendorPaths::Bit4idReactivatePin(int readerNumber, OwnedPin puk) {
  return ::Bit4idReactivatePin(readerNumber, std::move(puk));
}

int SystemPinVendorPaths::GemaltoGetRetryCounter(const PKCS11Base* token, uint32_t index) {
  return ::GemaltoGetRetryCounter(token, index);
}

bool SystemPinVendorPaths::GemaltoChangePin(const std::string& readerName, uint16_t minimumLength,
                                            uint16_t blockLength, OwnedPin currentPin,
                                            OwnedPin newPin, const CardIdentity* expected) {
  return ::GemaltoChangePin(readerName, minimumLength, blockLength, std::move(currentPin),
                            std::move(newPin), expected);
}

bool SystemPinVendorPaths::GemaltoUnblockPin(const std::string& readerName, uint16_t minimumLength,
                                             uint16_t blockLength, OwnedPin puk, OwnedPin newPin,
                                             const CardIdentity* expected) {
  return ::GemaltoUnblockPin(readerName, minimumLength, blockLength, std::move(puk),
                             std::move(newPin), expected);
}

bool SystemPinVendorPaths::EtokenGetRetryCounters(PKCS11Base* token, CK_ULONG* first,
                                                  CK_ULONG* second, CK_ULONG* third,
                                                  CK_ULONG* fourth) {
  return ::EtokenGetRetryCounters(token, first, second, third, fourth);
}

int SystemPinVendorPaths::EtokenGetRetryCounter(PKCS11Base* token, uint8_t selector) {
  return ::EtokenGetRetryCounter(token, selector);
}

bool SystemPinVendorPaths::EtokenUnblockPin(PKCS11Base* token, const SecureString* puk,
                                            const SecureString* newPin) {
  return ::EtokenUnblockPin(token, puk, newPin);
}

bool SystemPinVendorPaths::EtokenUnblockSigningPin(PKCS11Base* token, const SecureString* puk,
                                                   const SecureString* newPin) {
  return ::EtokenUnblockSigningPin(token, puk, newPin);
}

bool SystemPinVendorPaths::EtokenChangeSigningPin(PKCS11Base* token, const SecureString* oldPin,
                                                  const SecureString* newPin) {
  return ::EtokenChangeSigningPin(token, oldPin, newPin);
}
