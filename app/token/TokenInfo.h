// The token's information record, built by PKCS11Base::GetTokenInfo.
#pragma once

#include <cstdint>
#include <string>

struct TokenInfo {
  bool rng = false;
  bool writeProtected = false;
  bool loginRequired = false;
  bool userPinInitialized = false;
  bool protectedAuthenticationPath = false;
  bool userPinCountLow = false;
  bool userPinFinalTry = false;
  bool userPinLocked = false;
  bool userPinToBeChanged = false;
  bool soPinCountLow = false;
  bool soPinFinalTry = false;
  bool soPinLocked = false;
  bool soPinToBeChanged = false;
  std::string label;
  std::string manufacturerId;
  std::string model;
  std::string serialNumber;
};
