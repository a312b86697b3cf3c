// Shared pieces of the PIN tests: vendor paths with scripted results that record every
// call, scripted PIN prompts, a page host, and token objects of each vendor row over the
// test module (one shim per vendor file name, each with its own SoftHSM2 instance).
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CardTables.h"
#include "P11Rig.h"
#include "PKCS11Versions.h"
#include "PinOperations.h"
#include "PinPrompts.h"
#include "PinVendorPaths.h"
#include "platform/Library.h"

namespace PinTest {

using TvrCommon::SecureString;

inline std::string Text(const SecureString* pin) { return pin ? pin->CStr() : "null"; }
inline std::string Text(const OwnedPin& pin) { return Text(pin.get()); }

// Counters and results set by the test; every call is recorded as one line.
class FakeVendorPaths : public IPinVendorPaths {
 public:
  int bit4[4] = {-1, -1, -1, -1};
  int gemalto[2] = {-1, -1};
  bool etokenReadable = true;
  CK_ULONG etoken[4] = {5, 0, 5, 5};
  std::map<std::string, bool> results;  // call name -> result (default true)
  // Call name -> how many calls fail before the result above applies. The Bit4ID unblock
  // is also known as "Bit4idUnblockPin#<selector>".
  std::map<std::string, int> failures;
  std::optional<Bit4idPinLimits> limits;  // nothing: the limit call fails
  std::vector<std::string> calls;
  // The card in the reader as the paths tell it; `onAttempt` runs when a PIN command is
  // about to go out (a swap at the last moment), before the card is asked.
  std::optional<CardIdentity> card = CardIdentity{{0x3B, 0x01}, 7};
  std::function<void()> onAttempt;
  int counterReads = 0;  // retry counters asked of the card

  bool Result(const std::string& name) {
    if (failures[name] > 0) {
      --failures[name];
      return false;
    }
    const auto found = results.find(name);
    return found == results.end() || found->second;
  }

  int ReaderNumber(const std::string&) override { return 2; }
  std::optional<CardIdentity> ReadCardIdentity(const std::string&) override {
    return card;
  }
  bool CardStillIn(const std::string&, const CardIdentity& expected) override {
    return card && *card == expected;
  }
  // What the real paths do with `expected`: nothing goes out to another card.
  bool Refused(const char* name, const CardIdentity* expected) {
    if (onAttempt) onAttempt();
    if (!expected || (card && *card == *expected)) return false;
    calls.push_back(std::string(name) + " refused: another card");
    return true;
  }
  bool Bit4idGetPinLimit(int, Bit4idPinLimits& out) override {
    if (limits) out = *limits;
    return limits.has_value();
  }
  int Bit4idGetRetryCounter(const PKCS11Base*, uint8_t selector) override {
    ++counterReads;
    return selector < 4 ? bit4[selector] : -1;
  }
  bool Bit4idChangePinPuk(const std::string& reader, uint32_t selector, OwnedPin a,
                          OwnedPin b, const CardIdentity* expected) override {
    if (Refused("Bit4idChangePinPuk", expected)) return false;
    calls.push_back("Bit4idChangePinPuk " + reader + " " + std::to_string(selector) + " " +
                    Text(a) + " " + Text(b));
    return Result("Bit4idChangePinPuk");
  }
  bool Bit4idUnblockPin(const std::string& reader, uint32_t selector, OwnedPin a,
                        OwnedPin b, const CardIdentity* expected) override {
    if (Refused("Bit4idUnblockPin", expected)) return false;
    calls.push_back("Bit4idUnblockPin " + reader + " " + std::to_string(selector) + " " +
                    Text(a) + " " + Text(b));
    const bool bySelector = Result("Bit4idUnblockPin#" + std::to_string(selector));
    return Result("Bit4idUnblockPin") && bySelector;
  }
  bool Bit4idReactivatePin(int reader, OwnedPin a) override {
    calls.push_back("Bit4idReactivatePin " + std::to_string(reader) + " " + Text(a));
    return Result("Bit4idReactivatePin");
  }
  int GemaltoGetRetryCounter(const PKCS11Base*, uint32_t index) override {
    ++counterReads;
    return index < 2 ? gemalto[index] : -1;
  }
  bool GemaltoChangePin(const std::string& reader, uint16_t minimum, uint16_t n, OwnedPin a,
                        OwnedPin b, const CardIdentity* expected) override {
    if (Refused("GemaltoChangePin", expected)) return false;
    calls.push_back("GemaltoChangePin " + reader + " " + std::to_string(minimum) + " " +
                    std::to_string(n) + " " + Text(a) + " " + Text(b));
    return Result("GemaltoChangePin");
  }
  bool GemaltoUnblockPin(const std::string& reader, uint16_t minimum, uint16_t n, OwnedPin a,
                         OwnedPin b, const CardIdentity* expected) override {
    if (Refused("GemaltoUnblockPin", expected)) return false;
    calls.push_back("GemaltoUnblockPin " + reader + " " + std::to_string(minimum) + " " +
                    std::to_string(n) + " " + Text(a) + " " + Text(b));
    return Result("GemaltoUnblockPin");
  }
  bool EtokenGetRetryCounters(PKCS11Base*, CK_ULONG* a, CK_ULONG* b, CK_ULONG* c,
                              CK_ULONG* d) override {
    if (!etokenReadable) return false;
    *a = etoken[0];
    *b = etoken[1];
    *c = etoken[2];
    *d = etoken[3];
    return true;
  }
  int EtokenGetRetryCounter(PKCS11Base*, uint8_t selector) override {
    return etokenReadable && selector < 4 ? static_cast<int>(etoken[selector]) : -1;
  }
  bool EtokenUnblockPin(PKCS11Base*, const SecureString* a, const SecureString* b) override {
    calls.push_back("EtokenUnblockPin " + Text(a) + " " + Text(b));
    return Result("EtokenUnblockPin");
  }
  bool EtokenUnblockSigningPin(PKCS11Base*, const SecureString* a,
                               const SecureString* b) override {
    calls.push_back("EtokenUnblockSigningPin " + Text(a) + " " + Text(b));
    return Result("EtokenUnblockSigningPin");
  }
  bool EtokenChangeSigningPin(PKCS11Base*, const SecureString* a,
                              const SecureString* b) override {
    calls.push_back("EtokenChangeSigningPin " + Text(a) + " " + Text(b));
    return Result("EtokenChangeSigningPin");
  }
};

// Answers each question from a script (cancel once it is empty) and records it as
// "<kind> <title> <bounds...>".
class ScriptedPrompts : public IPinPrompts {
 public:
  // Empty first value: cancel.
  void Answer(const std::string& first, const std::string& second = "") {
    answers.push_back({first, second});
  }

  OwnedPin AskPuk(const std::string& title, int minimum, int maximum) override {
    if (onAsk) onAsk();
    asked.push_back("AskPuk " + title + " " + std::to_string(minimum) + " " +
                    std::to_string(maximum));
    auto answer = Next();
    return answer ? std::move(answer->first) : nullptr;
  }
  std::optional<PinPair> AskChange(const std::string& title, int minimum, int maximum) override {
    if (onAsk) onAsk();
    asked.push_back("AskChange " + title + " " + std::to_string(minimum) + " " +
                    std::to_string(maximum));
    return Next();
  }
  std::optional<PinPair> AskUnblock(const std::string& title, int pinMinimum, int pinMaximum,
                                    int pukMinimum, int pukMaximum) override {
    if (onAsk) onAsk();
    asked.push_back("AskUnblock " + title + " " + std::to_string(pinMinimum) + " " +
                    std::to_string(pinMaximum) + " " + std::to_string(pukMinimum) + " " +
                    std::to_string(pukMaximum));
    return Next();
  }

  std::deque<std::pair<std::string, std::string>> answers;
  std::vector<std::string> asked;
  std::function<void()> onAsk;  // runs while a PIN dialog is open

 private:
  std::optional<PinPair> Next() {
    if (answers.empty()) return std::nullopt;
    auto [first, second] = answers.front();
    answers.pop_front();
    if (first.empty()) return std::nullopt;
    return PinPair{MakePin(first.c_str()), MakePin(second.c_str())};
  }
};

// The main window as the page sees it: the token object and its token information,
// read from the token on refresh.
class FakeHost : public IPinPageHost {
 public:
  PKCS11Base* token = nullptr;
  std::unique_ptr<TokenInfo> info;
  bool unreadable = false;
  bool fixed = false;  // the record set by the test is never read again
  int refreshes = 0;
  CardKeeper keeper;

  CardHold HoldCard() override { return keeper.HoldCard(); }
  PKCS11Base* Token() override { return token; }
  TokenInfo* GetTokenInfo(bool refresh) override {
    if (unreadable) return nullptr;
    if (!fixed && (refresh || !info)) {
      ++refreshes;
      if (token) info = token->GetTokenInfo();
    }
    return info.get();
  }
  std::unique_ptr<TokenInfo> ReadTokenInfo() override {
    if (unreadable) return nullptr;
    if (fixed) return info ? std::make_unique<TokenInfo>(*info) : nullptr;
    ++refreshes;
    return token ? token->GetTokenInfo() : nullptr;
  }
  void KeepTokenInfo(std::unique_ptr<TokenInfo> fresh) override {
    if (!fixed) info = std::move(fresh);
  }
};

inline constexpr const char* kReader = "Virtual PCD 00 00";

// The module file of each vendor row, as the shim is installed.
inline std::string ShimFileOf(size_t row) {
  static const char* const kFiles[] = {"libbit4ipki.so", "libgclib.so", "libeTPKCS11.so",
                                       "libOCSCryptoki.so"};
  return kFiles[row];
}

// A token object of a vendor row (null row: none) over the installed shim, on the slot
// of the one SoftHSM2 token, with its reader name set.
inline std::unique_ptr<PKCS11Base> OpenToken(const VendorModuleEntry* row,
                                             const std::string& moduleFile) {
  std::unique_ptr<PKCS11Base> token =
      PKCS11V220::Create(row, Platform::LoadLibrary(moduleFile.c_str()));
  if (!token || !token->IsValid()) return nullptr;
  const auto slotList = token->GetSlotList(true);
  if (slotList.empty()) return nullptr;
  token->SetSlot(slotList[0]);
  token->SetReaderName(kReader);
  return token;
}

}  // namespace PinTest
