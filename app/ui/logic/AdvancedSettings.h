// The card types for which the card's certificates are registered automatically: those
// known to the smart-card database whose vendor module is loaded, with their flags.
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <vector>

struct AutoRegisterItem {
  std::string displayName;
  size_t row = 0;  // index into CardTypeTable
  bool checked = false;
};

// Whether the smart-card database (machine and user files, read now) names the card.
bool IsCardTypeRegistered(const std::string& cardName);

// The rows of CardTypeTable, in table order, that are registered and whose vendor
// module's type key is among the loaded ones.
std::vector<AutoRegisterItem> AutoRegisterItems(
    const std::set<std::string>& loadedTypeKeys,
    const std::function<bool(const std::string&)>& isRegistered = IsCardTypeRegistered);
