#include "CardRecognition.h"

#include <PCSC/winscard.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "EventLog.h"
#include "PKCS11Base.h"
#include "SharedUtilities.h"
#include "platform/LastError.h"

namespace {

// Cards that also carry the ActivClient middleware are listed under this name besides
// their own; the own name is the one that tells the card type.
constexpr const char* kActivClientCardName =
    "ActivIdentity ActivClient (Gemalto TOP IM GX4 72K (FIPS) Standard Rev B)";

// The fixed size of CK_SLOT_INFO.slotDescription.
constexpr size_t kSlotDescriptionLength = 64;

std::string TrimTrailingBlanks(std::string text) {
  const size_t last = text.find_last_not_of(' ');
  text.erase(last == std::string::npos ? 0 : last + 1);
  return text;
}

// How a slot description names a reader. Modules name each slot after its reader; a
// reader name longer than the description field cannot fit, and modules then either cut
// it at the field's end (the description then loses trailing blanks, as GetSlotInfo
// strips them) or cut it to 61 bytes followed by "...". A cut name may name several
// readers that share its first bytes.
enum class Naming { None, Whole, Cut };

Naming HowDescriptionNamesReader(const std::string& description, const std::string& readerName) {
  if (description.starts_with(readerName)) return Naming::Whole;
  if (readerName.size() <= kSlotDescriptionLength) return Naming::None;
  if (description == TrimTrailingBlanks(readerName.substr(0, kSlotDescriptionLength)) ||
      description == readerName.substr(0, kSlotDescriptionLength - 3) + "...") {
    return Naming::Cut;
  }
  return Naming::None;
}

// The PC/SC readers in PC/SC order (reader number 1 first); empty when PC/SC fails. With
// withCards, whether each holds a card, asked without waiting.
std::vector<PcscReader> ListReaders(bool withCards) {
  std::vector<PcscReader> readers;
  AutoSCardContext context;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, context.Put()) != SCARD_S_SUCCESS) {
    return readers;
  }
  char* list = nullptr;
  DWORD length = SCARD_AUTOALLOCATE;
  if (SCardListReaders(context.Get(), nullptr, reinterpret_cast<LPSTR>(&list), &length) !=
          SCARD_S_SUCCESS ||
      !list) {
    return readers;
  }
  {
    const AutoSCardMemory names(context.Get(), list);  // freed before the context is released
    // A multi-string: names ending in a zero byte, the list in an empty name; never read
    // past the length PC/SC reported.
    const char* const end = list + length;
    for (const char* name = list; name < end && *name;) {
      const size_t size = strnlen(name, static_cast<size_t>(end - name));
      readers.push_back({std::string(name, size), true});
      name += size + 1;
    }
  }
  if (!withCards || readers.empty()) return readers;
  std::vector<SCARD_READERSTATE> states(readers.size());
  for (size_t i = 0; i < readers.size(); ++i) {
    states[i].szReader = readers[i].name.c_str();
    states[i].dwCurrentState = SCARD_STATE_UNAWARE;
  }
  if (SCardGetStatusChange(context.Get(), 0, states.data(), static_cast<DWORD>(states.size())) ==
      SCARD_S_SUCCESS) {
    for (size_t i = 0; i < readers.size(); ++i)
      readers[i].hasCard = (states[i].dwEventState & SCARD_STATE_PRESENT) != 0;
  }
  return readers;
}

}  // namespace

bool SelectSlotForReader(const std::vector<CK_SLOT_ID>& slots, const std::string& readerName,
                         uint32_t index, PKCS11Base* token,
                         const std::function<std::vector<PcscReader>()>& listReaders) {
  if (!token) return false;
  token->SetReaderName(readerName);
  // Slots are asked one by one and the walk stops at the wanted one, as long as every
  // description seen names the reader whole; a cut name needs every slot's description.
  std::vector<std::optional<std::string>> descriptions;
  auto describe = [&](size_t position) {
    token->SetSlot(slots[position]);
    const auto info = token->GetSlotInfo();
    descriptions.push_back(info ? std::optional<std::string>(info->description) : std::nullopt);
  };
  uint32_t matches = 0;
  bool cut = false;
  for (size_t i = 0; i < slots.size() && !cut; ++i) {
    describe(i);
    if (!descriptions[i]) continue;
    const Naming naming = HowDescriptionNamesReader(*descriptions[i], readerName);
    if (naming == Naming::Cut) cut = true;
    if (naming != Naming::Whole) continue;
    if (matches == index) return true;
    ++matches;
  }
  if (!cut) return false;
  while (descriptions.size() < slots.size()) describe(descriptions.size());

  // Readers whose names come out as the same description share its slots: the k readers
  // so named that hold a card (an empty reader has no token slot), in reader-number order,
  // take the m slots so described, in slot order, in equal runs (one slot each when
  // m <= k). A reader PC/SC does not list has no rivals; one PC/SC sees no card in ranks
  // among every reader so named.
  std::optional<std::vector<PcscReader>> readers;
  std::vector<size_t> chosen;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (!descriptions[i]) continue;
    const std::string& description = *descriptions[i];
    const Naming naming = HowDescriptionNamesReader(description, readerName);
    if (naming == Naming::None) continue;
    if (naming == Naming::Whole) {
      chosen.push_back(i);
      continue;
    }
    if (!readers) readers = listReaders ? listReaders() : std::vector<PcscReader>{};
    std::vector<std::string> named, holding;
    for (const PcscReader& reader : *readers) {
      if (HowDescriptionNamesReader(description, reader.name) != Naming::Cut) continue;
      named.push_back(reader.name);
      if (reader.hasCard) holding.push_back(reader.name);
    }
    if (std::find(holding.begin(), holding.end(), readerName) != holding.end()) named.swap(holding);
    const auto rank = std::find(named.begin(), named.end(), readerName);
    if (rank == named.end()) {
      chosen.push_back(i);
      continue;
    }
    std::vector<size_t> described;
    for (size_t j = 0; j < slots.size(); ++j) {
      if (descriptions[j] == description) described.push_back(j);
    }
    const size_t run = std::max<size_t>(1, described.size() / named.size());
    const size_t first = static_cast<size_t>(rank - named.begin()) * run;
    const auto position = std::find(described.begin(), described.end(), i) - described.begin();
    if (static_cast<size_t>(position) >= first && static_cast<size_t>(position) < first + run) {
      chosen.push_back(i);
    }
  }
  if (index >= chosen.size()) return false;  // the token stays on the last slot tried
  token->SetSlot(slots[chosen[index]]);
  return true;
}

bool SelectSlotForReader(const std::vector<CK_SLOT_ID>& slots, const std::string& readerName,
                         uint32_t index, PKCS11Base* token) {
  return SelectSlotForReader(slots, readerName, index, token, [] { return ListReaders(true); });
}

const CardTypeEntry* FindCardTypeByCardName(const std::string& cardName) {
  for (const CardTypeEntry& row : CardTypeTable) {
    if (cardName == row.cardName) return &row;
  }
  return nullptr;
}

const VendorModuleEntry* FindVendorModuleByType(const CardTypeEntry* row) {
  if (!row) return nullptr;
  for (const VendorModuleEntry& vendor : VendorModuleTable) {
    if (std::strcmp(vendor.typeKey, row->typeKey) == 0) return &vendor;
  }
  return nullptr;
}

Platform::ModuleHandle LoadVendorModule(const VendorModuleEntry* row) {
  if (!row) return nullptr;
  Platform::ModuleHandle module = Platform::LoadLibrary(row->moduleFile);
  if (!module) {
    const uint32_t code = Platform::GetLastError();
    char text[512];
    std::snprintf(text, sizeof text, "Load Library ERROR! Module path: %s Error code: %08x",
                  row->moduleFile, code);
    LogEvent(EVENTLOG_WARNING_TYPE, text);
  }
  return module;
}

int GetReaderNumber(const std::string& readerName) {
  const std::vector<PcscReader> readers = ListReaders(false);
  const auto found = std::find_if(readers.begin(), readers.end(),
                                  [&](const PcscReader& reader) { return reader.name == readerName; });
  return found == readers.end() ? 0 : static_cast<int>(found - readers.begin()) + 1;
}

Platform::CardNameSet ListCardNamesForAtr(const std::vector<uint8_t>& atr) {
  return Platform::CardDatabase::Load().ListCards(atr);
}

std::string GetCardNameForAtr(const std::vector<uint8_t>& atr) {
  const Platform::CardNameSet names = ListCardNamesForAtr(atr);
  for (const std::string& name : names) {
    if (name != kActivClientCardName) return name;
  }
  return names.empty() ? std::string() : *names.begin();
}

std::string GetCardTypeProviderName(const std::string& cardName, uint32_t providerId) {
  return Platform::CardDatabase::Load().GetCardTypeProviderName(cardName, providerId).value_or("");
}

void GetCardTypeProviderNames(const std::string& cardName, std::string& cryptoProvider,
                              std::string& keyStorageProvider, std::string& cardModule) {
  cryptoProvider = GetCardTypeProviderName(cardName, Platform::kScardProviderCsp);
  keyStorageProvider = GetCardTypeProviderName(cardName, Platform::kScardProviderKsp);
  cardModule = GetCardTypeProviderName(cardName, Platform::kScardProviderCardModule);
}
