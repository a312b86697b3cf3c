// The token's information record, built by PKCS11Base::GetTokenInfo.
#pragma once

#include <cstdint>
#include <string>

#include "Pkcs11.h"

struct TokenInfo {
  bool rng = false;
  bool writeProtected = false;
  bool loginRequired = false;
  bool userPinInitialized = false;
  bool protectedAuthenticationPath = false;
  // The eight PIN-status flags stay false with Cryptoki 2.01, which has none.
  bool userPinCountLow = false;
  bool userPinFinalTry = false;
  bool userPinLocked = false;
  bool userPinToBeChanged = false;
  bool soPinCountLow = false;
  bool soPinFinalTry = false;
  bool soPinLocked = false;
  bool soPinToBeChanged = false;
  std::string label;           // at most 32 bytes, trailing blanks cut
  std::string manufacturerId;  // at most 32 bytes, trailing blanks cut
  std::string model;           // at most 16 bytes, trailing blanks cut
  std::string serialNumber;    // at most 16 bytes, trailing blanks cut
  uint32_t flags = 0;
  uint32_t totalPublicMemory = 0;
  uint32_t freePublicMemory = 0;
  uint32_t totalPrivateMemory = 0;
  uint32_t freePrivateMemory = 0;
  uint32_t maxPinLen = 0;
  uint32_t minPinLen = 0;
  CK_VERSION hardwareVersion{0, 0};
  CK_VERSION firmwareVersion{0, 0};
};
