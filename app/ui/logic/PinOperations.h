// The PIN page's logic: the buttons' state, the PIN status and the four PIN operations,
// each dispatched on the card type to the vendor path that can do it. Questions and
// messages are on the interface thread; every call to the card (a PIN-pad entry
// included) runs as a card task of the host, so the window keeps painting meanwhile.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "CardTask.h"
#include "CardHold.h"
#include "PinPrompts.h"
#include "PinVendorPaths.h"
#include "Strings.h"
#include "TokenInfo.h"
#include "UserPort.h"

class PKCS11Base;

// What the PIN page needs from the main window.
class IPinPageHost : public ICardTaskRunner {
 public:
  // A hold on the connected card for as long as an operation uses it (see CardSession.h).
  virtual CardHold HoldCard() = 0;
  // The token object of the connected card; null when none is connected.
  virtual PKCS11Base* Token() = 0;
  // The cached token information, read again first when refresh is set; null when the
  // card cannot be read. Owned by the host; interface thread only.
  virtual TokenInfo* GetTokenInfo(bool refresh) = 0;
  // The card's token information read afresh for the caller, the cache left alone (a card
  // task's work runs it); null when the card cannot be read.
  virtual std::unique_ptr<TokenInfo> ReadTokenInfo();
  // Puts a record that ReadTokenInfo gave into the cache (interface thread).
  virtual void KeepTokenInfo(std::unique_ptr<TokenInfo> /*info*/) {}
};

// Texts, enabled state and visibility of the page's five buttons.
struct PinButtons {
  Res::StringId changeText = Res::StringId::PinChangeButton;
  Res::StringId unblockText = Res::StringId::PinUnblockButton;
  bool changeEnabled = false;
  bool unblockEnabled = false;
  bool signingVisible = false;
  bool signingEnabled = false;
  bool statusEnabled = false;
};

enum class PinOperation { ChangePin, UnblockPin, ChangeSigningPin, UnblockSigningPin };

class PinOperations {
 public:
  PinOperations(IPinPageHost& host, IUserPort& port, IPinPrompts& prompts,
                IPinVendorPaths& paths)
      : host_(host), port_(port), prompts_(prompts), paths_(paths) {}

  // Brings the buttons up to the connected card; false (after telling the user) when the
  // card cannot be read: the buttons stay as they were.
  bool UpdateButtons(PinButtons& buttons);
  // Shows the transport state and the card type's retry counters. `finished` runs on the
  // interface thread when the last message has been shown (or nothing was to be done).
  void ShowStatus(std::function<void()> finished = {});
  void Run(PinOperation operation, std::function<void()> finished = {});

  // The event written when the log-out after a successful PIN change fails.
  static constexpr const char* kLogoutFailedEvent = "Logout after the PIN change failed";

 private:
  enum class Kind { Bit4id, Gemalto, Gemalto2, Other, NoRow };
  static Kind KindOf(const PKCS11Base* token);

  // Tries line counter after a failure, or the pre-check counter (negative: unknown).
  int Counter(Kind kind, PinOperation operation, PKCS11Base* token);
  // The operation's vendor path; the values are null for the PIN pad.
  bool CallVendor(Kind kind, PinOperation operation, PKCS11Base* token, const TokenInfo& info,
                  PinPair values, const CardIdentity* expected);
  bool ChangeByPkcs11(PKCS11Base* token, const TokenInfo& info, PinPair values);

  // What the card gave before the PIN dialog, and the card's part after it (card tasks).
  struct Checks;
  struct Attempt;
  void AskAndAttempt(PinOperation operation, std::shared_ptr<Checks> checks, std::function<void()> finished);

  void Say(Res::StringId text, unsigned icon);
  void Say(const std::string& text, unsigned icon);

  IPinPageHost& host_;
  IUserPort& port_;
  IPinPrompts& prompts_;
  IPinVendorPaths& paths_;
};
