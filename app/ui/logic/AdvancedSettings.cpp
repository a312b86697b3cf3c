#include "AdvancedSettings.h"

#include "CardRecognition.h"
#include "CardTables.h"
#include "platform/CardDatabase.h"

bool IsCardTypeRegistered(const std::string& cardName) {
  return Platform::CardDatabase::Load().HasCard(cardName);
}

std::vector<AutoRegisterItem> AutoRegisterItems(const std::set<std::string>& loadedTypeKeys,
                                                const std::function<bool(const std::string&)>& isRegistered) {
  std::vector<AutoRegisterItem> items;
  for (size_t i = 0; i < kCardTypeCount; ++i) {
    const CardTypeEntry& row = CardTypeTable[i];
    const VendorModuleEntry* vendor = FindVendorModuleByType(&row);
    if (!isRegistered(row.cardName) || !vendor || !loadedTypeKeys.count(vendor->typeKey)) continue;
    items.push_back({row.displayName, i, row.autoRegister != 0});
  }
  return items;
}
