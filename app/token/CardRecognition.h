// Finding the rows of the card tables, loading a vendor module, numbering PC/SC readers,
// choosing a reader's slot, and naming a card and its providers from the smart-card
// database. Every function reports failure by its result; only LoadVendorModule writes
// an event. Safe to call from any thread: nothing is shared but the constant tables.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "CardTables.h"
#include "Pkcs11.h"
#include "platform/CardDatabase.h"
#include "platform/Library.h"

class PKCS11Base;

// The row whose card name equals the text exactly (case-sensitive); null for none.
const CardTypeEntry* FindCardTypeByCardName(const std::string& cardName);

// The vendor-module row of the card type's key; null for a null row or no match.
const VendorModuleEntry* FindVendorModuleByType(const CardTypeEntry* row);

// Loads the row's module through the platform's library search. Null for a null row or
// a failed load; the failure goes to the event log as a warning.
Platform::ModuleHandle LoadVendorModule(const VendorModuleEntry* row);

// The 1-based position of the reader among the PC/SC readers; 0 when it is absent or
// PC/SC fails (no service included).
int GetReaderNumber(const std::string& readerName);

// A PC/SC reader and whether it holds a card (true when PC/SC could not say).
struct PcscReader {
  std::string name;
  bool hasCard = true;
};

// Stores the reader name in the token, then makes the index-th slot (from 0) whose
// description names the reader the token's current slot. False when there is no such
// slot; the token then stays on the last slot tried. A reader name too long for the
// description is matched in both forms modules cut it to; when that leaves several
// readers with the same description, their slots (slots with tokens) are shared out, by
// reader number (PC/SC order) and slot order, among those of them that hold a card.
bool SelectSlotForReader(const std::vector<CK_SLOT_ID>& slots, const std::string& readerName,
                         uint32_t index, PKCS11Base* token);
// The same with the PC/SC reader list (in PC/SC order) taken from listReaders, which is
// asked only when a cut description is met.
bool SelectSlotForReader(const std::vector<CK_SLOT_ID>& slots, const std::string& readerName,
                         uint32_t index, PKCS11Base* token,
                         const std::function<std::vector<PcscReader>()>& listReaders);

// The card names the smart-card database gives for an answer-to-reset.
Platform::CardNameSet ListCardNamesForAtr(const std::vector<uint8_t>& atr);

// The card's name: the first of ListCardNamesForAtr that is not the ActivClient name
// some cards also carry, or that name when it is the only one; empty for none.
std::string GetCardNameForAtr(const std::vector<uint8_t>& atr);

// The provider name registered for the card name and provider id; empty for none.
std::string GetCardTypeProviderName(const std::string& cardName, uint32_t providerId);

// The cryptographic service provider, key storage provider and card module names.
void GetCardTypeProviderNames(const std::string& cardName, std::string& cryptoProvider,
                              std::string& keyStorageProvider, std::string& cardModule);
