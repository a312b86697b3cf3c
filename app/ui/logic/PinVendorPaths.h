// The vendor PIN paths the PIN activation and the PIN page reach the card by, behind one
// interface so that each card type's logic can be driven without the vendor's hardware.
// SystemPinVendorPaths forwards to the token layer's functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Bit4idPin.h"
#include "CardPinCommands.h"
#include "Pkcs11.h"
#include "SecureString.h"
#include "VendorPin.h"

class PKCS11Base;

class IPinVendorPaths {
 public:
  virtual ~IPinVendorPaths() = default;

  // 1-based PC/SC position of the reader; 0 when it is not found.
  virtual int ReaderNumber(const std::string& readerName) = 0;
  // Which card is in the reader now; none when that cannot be told.
  virtual std::optional<CardIdentity> ReadCardIdentity(const std::string& readerName) = 0;
  virtual bool CardStillIn(const std::string& readerName, const CardIdentity& expected) = 0;

  // The calls below that address the card by its reader send nothing when `expected` is
  // given and another card is in the reader by then.

  virtual bool Bit4idGetPinLimit(int readerNumber, Bit4idPinLimits& limits) = 0;
  virtual int Bit4idGetRetryCounter(const PKCS11Base* token, uint8_t selector) = 0;
  virtual bool Bit4idChangePinPuk(const std::string& readerName, uint32_t selector,
                                  OwnedPin oldPin, OwnedPin newPin, const CardIdentity* expected) = 0;
  virtual bool Bit4idUnblockPin(const std::string& readerName, uint32_t selector, OwnedPin puk,
                                OwnedPin newPin, const CardIdentity* expected) = 0;
  virtual bool Bit4idReactivatePin(int readerNumber, OwnedPin puk) = 0;

  virtual int GemaltoGetRetryCounter(const PKCS11Base* token, uint32_t index) = 0;
  virtual bool GemaltoChangePin(const std::string& readerName, uint16_t minimumLength,
                                uint16_t blockLength, OwnedPin currentPin, OwnedPin newPin,
                                const CardIdentity* expected) = 0;
  virtual bool GemaltoUnblockPin(const std::string& readerName, uint16_t minimumLength,
                                 uint16_t blockLength, OwnedPin puk, OwnedPin newPin,
                                 const CardIdentity* expected) = 0;

  virtual bool EtokenGetRetryCounters(PKCS11Base* token, CK_ULONG* first, CK_ULONG* second,
                                      CK_ULONG* third, CK_ULONG* fourth) = 0;
  virtual int EtokenGetRetryCounter(PKCS11Base* token, uint8_t selector) = 0;
  virtual bool EtokenUnblockPin(PKCS11Base* token, const TvrCommon::SecureString* puk,
                                const TvrCommon::SecureString* newPin) = 0;
  virtual bool EtokenUnblockSigningPin(PKCS11Base* token, const TvrCommon::SecureString* puk,
                                       const TvrCommon::SecureString* newPin) = 0;
  virtual bool EtokenChangeSigningPin(PKCS11Base* token, const TvrCommon::SecureString* oldPin,
                                      const TvrCommon::SecureString* newPin) = 0;
};

class SystemPinVendorPaths : public IPinVendorPaths {
 public:
  int ReaderNumber(const std::string& readerName) override;
  std::optional<CardIdentity> ReadCardIdentity(const std::string& readerName) override;
  bool CardStillIn(const std::string& readerName, const CardIdentity& expected) override;
  bool Bit4idGetPinLimit(int readerNumber, Bit4idPinLimits& limits) override;
  int Bit4idGetRetryCounter(const PKCS11Base* token, uint8_t selector) override;
  bool Bit4idChangePinPuk(const std::string& readerName, uint32_t selector, OwnedPin oldPin,
                          OwnedPin newPin, const CardIdentity* expected) override;
  bool Bit4idUnblockPin(const std::string& readerName, uint32_t selector, OwnedPin puk,
                        OwnedPin newPin, const CardIdentity* expected) override;
  bool Bit4idReactivatePin(int readerNumber, OwnedPin puk) override;
  int GemaltoGetRetryCounter(const PKCS11Base* token, uint32_t index) override;
  bool GemaltoChangePin(const std::string& readerName, uint16_t minimumLength,
                        uint16_t blockLength, OwnedPin currentPin, OwnedPin newPin,
                        const CardIdentity* expected) override;
  bool GemaltoUnblockPin(const std::string& readerName, uint16_t minimumLength,
                         uint16_t blockLength, OwnedPin puk, OwnedPin newPin,
                         const CardIdentity* expected) override;
  bool EtokenGetRetryCounters(PKCS11Base* token, CK_ULONG* first, CK_ULONG* second,
                              CK_ULONG* third, CK_ULONG* fourth) override;
  int EtokenGetRetryCounter(PKCS11Base* token, uint8_t selector) override;
  bool EtokenUnblockPin(PKCS11Base* token, const TvrCommon::SecureString* puk,
                        const TvrCommon::SecureString* newPin) override;
  bool EtokenUnblockSigningPin(PKCS11Base* token, const TvrCommon::SecureString* puk,
                               const TvrCommon::SecureString* newPin) override;
  bool EtokenChangeSigningPin(PKCS11Base* token, const TvrCommon::SecureString* oldPin,
                              const TvrCommon::SecureString* newPin) override;
};
