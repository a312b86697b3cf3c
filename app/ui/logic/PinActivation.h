// Activation of the PINs of a card found in transport state on insertion. Runs on the
// card monitor thread; the user is asked through ports that hand every question to the
// interface thread.
#pragma once

#include "PinPrompts.h"
#include "PinVendorPaths.h"
#include "Strings.h"
#include "TokenInfo.h"
#include "UserPort.h"

class PKCS11Base;

class TransportPinActivation {
 public:
  TransportPinActivation(IUserPort& port, IPinPrompts& prompts, IPinVendorPaths& paths)
      : port_(port), prompts_(prompts), paths_(paths) {}

  // True when the card is ready for the registration of its certificates: the vendor's
  // activation sequence completed. transport: the eToken signing PIN waits for activation.
  bool Run(PKCS11Base* token, const TokenInfo& info, bool transport);

  // What a retry box's answer means for the step that failed.
  enum class Retry { Again, Declined, Final };

  // The failure box of a step that may be repeated, by the tries left (n, negative when
  // unknown): Yes/No with the retry question while tries remain, else an OK box.
  struct RetryTexts {
    Res::StringId failure;
    Res::StringId tries;
    Res::StringId locked;
    bool warnLastTry;
  };
  Retry AskRetry(const RetryTexts& texts, int triesLeft);

 private:
  bool RunBit4id(PKCS11Base* token, const TokenInfo& info);
  bool RunGemalto(PKCS11Base* token, const TokenInfo& info);
  bool RunGemalto2(PKCS11Base* token, const TokenInfo& info, bool transport);

  int Box(Res::StringId text, unsigned flags);
  int Box(const std::string& text, unsigned flags);

  IUserPort& port_;
  IPinPrompts& prompts_;
  IPinVendorPaths& paths_;
};
