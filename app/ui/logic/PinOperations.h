// The PIN page's logic: the buttons' state, the PIN status and the four PIN operations,
// each dispatched on the card type to the vendor path that can do it. Runs on the
// interface thread with the main window's token object.
#pragma once

#include <string>

#include "CardHold.h"
#include "PinPrompts.h"
#include "PinVendorPaths.h"
#include "Strings.h"
#include "TokenInfo.h"
#include "UserPort.h"

class PKCS11Base;

// What the PIN page needs from the main window.
class IPinPageHost {
 public:
  virtual ~IPinPageHost() = default;
  // A hold on the connected card for as long as an operation uses it (see CardSession.h).
  virtual CardHold HoldCard() = 0;
  // The token object of the connected card; null when none is connected.
  virtual PKCS11Base* Token() = 0;
  // The cached token information, read again first when refresh is set; null when the
  // card cannot be read. Owned by the host.
  virtual TokenInfo* GetTokenInfo(bool refresh) = 0;
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
  // Shows the transport state and the card type's retry counters.
  void ShowStatus();
  void Run(PinOperation operation);

  // The event written when the log-out after a successful PIN change fails.
  static constexpr const char* kLogoutFailedEvent = "Logout after the PIN change failed";

 private:
  enum class Kind { Bit4id, Gemalto, Gemalto2, Other, NoRow };
  static Kind KindOf(const PKCS11Base* token);

  // Tries line counter after a failure, or the pre-check counter (negative: unknown).
  int Counter(Kind kind, PinOperation operation, PKCS11Base* token);
  // The operation's vendor path; the values are null for the PIN pad.
  bool CallVendor(Kind kind, PinOperation operation, PKCS11Base* token, const TokenInfo& info,
                  PinPair values);
  bool ChangeByPkcs11(PKCS11Base* token, const TokenInfo& info, PinPair values);

  void Say(Res::StringId text, unsigned icon);
  void Say(const std::string& text, unsigned icon);

  IPinPageHost& host_;
  IUserPort& port_;
  IPinPrompts& prompts_;
  IPinVendorPaths& paths_;
};
