#include "CardRecognition.h"

#include <PCSC/winscard.h>

#include <cstdio>
#include <cstring>

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

// Modules name each slot after its reader. A reader name longer than the description
// field cannot fit, so a description that is exactly the name cut to the field (and
// stripped of trailing blanks, as GetSlotInfo does) names that reader too.
bool DescriptionNamesReader(const std::string& description, const std::string& readerName) {
  if (description.starts_with(readerName)) return true;
  if (readerName.size() <= kSlotDescriptionLength) return false;
  return description == TrimTrailingBlanks(readerName.substr(0, kSlotDescriptionLength));
}

}  // namespace

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
  AutoSCardContext context;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, context.Put()) != SCARD_S_SUCCESS) {
    return 0;
  }
  char* list = nullptr;
  DWORD length = SCARD_AUTOALLOCATE;
  if (SCardListReaders(context.Get(), nullptr, reinterpret_cast<LPSTR>(&list), &length) !=
          SCARD_S_SUCCESS ||
      !list) {
    return 0;
  }
  const AutoSCardMemory readers(context.Get(), list);  // freed before the context is released
  // A multi-string: names ending in a zero byte, the list in an empty name; never read
  // past the length PC/SC reported.
  const char* const end = list + length;
  int number = 0;
  for (const char* name = list; name < end && *name;) {
    const size_t size = strnlen(name, static_cast<size_t>(end - name));
    ++number;
    if (readerName.size() == size && readerName.compare(0, size, name, size) == 0) return number;
    name += size + 1;
  }
  return 0;
}

bool SelectSlotForReader(const std::vector<CK_SLOT_ID>& slots, const std::string& readerName,
                         uint32_t index, PKCS11Base* token) {
  if (!token) return false;
  token->SetReaderName(readerName);
  uint32_t matches = 0;
  for (CK_SLOT_ID slot : slots) {
    token->SetSlot(slot);
    const auto info = token->GetSlotInfo();
    if (!info || !DescriptionNamesReader(info->description, readerName)) continue;
    if (matches == index) return true;
    ++matches;
  }
  return false;
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
