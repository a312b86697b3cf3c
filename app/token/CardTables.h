// The supported card types and the vendor PKCS#11 modules that serve them.
#pragma once

#include <cstdint>
#include <string>

struct CardTypeEntry {
  const char* cardName;     // the card's name in the smart-card database
  const char* typeKey;      // joins card, module, token object, PIN functions and updates
  const char* displayName;
  uint32_t autoRegister;
};

struct VendorModuleEntry {
  const char* typeKey;
  const char* moduleFile;   // loaded through the platform's library search
  const char* vendorName;   // the vendor's key in the update file
  uint32_t extraSlotCount;  // tokens beyond the first that one card shows in its reader
  const char* const* slotNames;  // extraSlotCount + 1 names, read only when extraSlotCount >= 1
};

inline constexpr size_t kCardTypeCount = 4;
inline constexpr size_t kVendorModuleCount = 4;
extern const CardTypeEntry CardTypeTable[kCardTypeCount];
extern const VendorModuleEntry VendorModuleTable[kVendorModuleCount];
