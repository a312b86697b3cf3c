#include "PinActivation.h"

#include <cstring>
#include <optional>

#include "PKCS11Base.h"
#include "PinTexts.h"
#include "platform/MessageBox.h"

using Res::StringId;
using namespace Platform;

namespace {

constexpr unsigned kStopBox = kMbIconError | kMbSystemModal;
constexpr unsigned kInfoBox = kMbIconInformation | kMbSystemModal;

// The read-write session of a sequence: closed again, with no log-in left behind,
// whatever way the sequence ends.
class ActivationSession {
 public:
  explicit ActivationSession(PKCS11Base* token) : token_(token) {
    if (!token_->HasSession()) token_->OpenSession(true);
  }
  ~ActivationSession() {
    if (token_->IsLoggedIn()) token_->Logout();
    if (token_->HasSession()) token_->CloseSession();
  }
  ActivationSession(const ActivationSession&) = delete;
  ActivationSession& operator=(const ActivationSession&) = delete;

 private:
  PKCS11Base* token_;
};

int Bound(uint32_t value) { return static_cast<int>(value); }

}  // namespace

int TransportPinActivation::Box(StringId text, unsigned flags) {
  return Box(Res::Text(text), flags);
}

int TransportPinActivation::Box(const std::string& text, unsigned flags) {
  return port_.MessageBox(text, "", flags);
}

TransportPinActivation::Retry TransportPinActivation::AskRetry(const RetryTexts& texts,
                                                               int triesLeft) {
  std::string text = Res::Text(texts.failure);
  if (triesLeft < 0) {
    Box(text, kStopBox);
    return Retry::Final;
  }
  AppendTriesLine(triesLeft, text, texts.tries, texts.locked, texts.warnLastTry);
  if (triesLeft == 0) {
    Box(text, kStopBox);
    return Retry::Final;
  }
  text += "\n" + Res::Text(StringId::RetryQuestion);
  return Box(text, kMbYesNo | kStopBox) == kIdYes ? Retry::Again : Retry::Declined;
}

bool TransportPinActivation::Run(PKCS11Base* token, const TokenInfo& info, bool transport) {
  if (!token) return false;
  if (Box(StringId::TransportStateNotice, kMbOkCancel | kMbIconWarning | kMbSystemModal) != kIdOk)
    return false;
  const VendorModuleEntry* row = token->GetVendorModule();
  const char* key = row ? row->typeKey : nullptr;
  if (key && std::strcmp(key, "Bit4ID") == 0) return RunBit4id(token, info);
  if (key && std::strcmp(key, "Gemalto") == 0) return RunGemalto(token, info);
  if (key && std::strcmp(key, "Gemalto2") == 0) return RunGemalto2(token, info, transport);
  Box(StringId::NotImplemented, kStopBox);
  return false;
}

bool TransportPinActivation::RunBit4id(PKCS11Base* token, const TokenInfo& info) {
  const std::string reader = token->GetReaderName();
  const int readerNumber = paths_.ReaderNumber(reader);
  const bool pinPad = info.protectedAuthenticationPath;
  // The monitor hears of nothing while the activation asks: the PUKs typed go to the card
  // it was started for, or nowhere.
  const std::optional<CardIdentity> card = paths_.ReadCardIdentity(reader);
  const CardIdentity* expected = card ? &*card : nullptr;
  const auto swapped = [&] { return card && !paths_.CardStillIn(reader, *card); };

  enum class Call { Reactivate, UnblockSigning, UnblockGlobal };
  struct Step {
    Call call;
    StringId title;
    PinLengthBounds Bit4idPinLimits::*pin;
    PinLengthBounds Bit4idPinLimits::*puk;
    uint8_t counter;
    RetryTexts texts;
  };
  // Reactivation of the signing PIN, then new signing and global PINs from their PUKs.
  // Only the signing step counts down to the lock without the last-try warning.
  static const Step kSteps[] = {
      {Call::Reactivate, StringId::SigningPinActivationTitle, nullptr,
       &Bit4idPinLimits::signingPuk, kBit4idSigningPuk,
       {StringId::SigningPinActivationFailed, StringId::TriesLeft, StringId::SigningPukLocked,
        true}},
      {Call::UnblockSigning, StringId::SigningPinUnblockButton, &Bit4idPinLimits::signingPin,
       &Bit4idPinLimits::signingPuk, kBit4idSigningPuk,
       {StringId::SigningPinUnblockFailed, StringId::SigningPukTriesLeft,
        StringId::SigningPukLocked, false}},
      {Call::UnblockGlobal, StringId::GlobalPinUnblockButton, &Bit4idPinLimits::globalPin,
       &Bit4idPinLimits::globalPuk, kBit4idGlobalPuk,
       {StringId::GlobalPinUnblockFailed, StringId::GlobalPukTriesLeft, StringId::GlobalPukLocked,
        true}},
  };

  for (const Step& step : kSteps) {
    for (;;) {
      OwnedPin puk, newPin;
      if (!pinPad) {
        Bit4idPinLimits limits;
        if (!paths_.Bit4idGetPinLimit(readerNumber, limits)) limits = Bit4idPinLimits{};
        const PinLengthBounds pukBounds = limits.*step.puk;
        if (step.call == Call::Reactivate) {
          puk = prompts_.AskPuk(Res::Text(step.title), pukBounds.minimum, pukBounds.maximum);
          if (!puk) return false;
        } else {
          const PinLengthBounds pinBounds = limits.*step.pin;
          auto values = prompts_.AskUnblock(Res::Text(step.title), pinBounds.minimum,
                                            pinBounds.maximum, pukBounds.minimum,
                                            pukBounds.maximum);
          if (!values) return false;
          puk = std::move(values->first);
          newPin = std::move(values->second);
        }
      }
      bool done = false;
      if (swapped()) {
        Box(StringId::CardChangedDuringCommand, kStopBox);
        return false;
      }
      switch (step.call) {
        case Call::Reactivate:
          done = paths_.Bit4idReactivatePin(readerNumber, std::move(puk));
          break;
        case Call::UnblockSigning:
          done = paths_.Bit4idUnblockPin(reader, 1, std::move(puk), std::move(newPin), expected);
          break;
        case Call::UnblockGlobal:
          done = paths_.Bit4idUnblockPin(reader, 0, std::move(puk), std::move(newPin), expected);
          break;
      }
      if (done) break;
      if (swapped()) {
        Box(StringId::CardChangedDuringCommand, kStopBox);
        return false;
      }
      if (AskRetry(step.texts, paths_.Bit4idGetRetryCounter(token, step.counter)) != Retry::Again)
        return false;
    }
  }
  Box(StringId::SigningPinActivated, kInfoBox);
  return true;
}

bool TransportPinActivation::RunGemalto(PKCS11Base* token, const TokenInfo& info) {
  // Plain PKCS#11 has no PIN-pad variant here: the dialog is always shown.
  auto values = prompts_.AskUnblock(Res::Text(StringId::PinActivationTitle), Bound(info.minPinLen),
                                    Bound(info.maxPinLen), Bound(info.minPinLen),
                                    Bound(info.maxPinLen));
  if (!values) return false;
  if (!token->IsTokenPresent()) {
    Box(StringId::PinCardNotInReader, kStopBox);
    return false;
  }
  ActivationSession session(token);
  const std::string failure = Res::Text(StringId::PinActivationFailed);

  if (!token->LoginEx(values->first.get(), true, nullptr)) {
    std::string text = failure;
    AppendTriesLine(paths_.GemaltoGetRetryCounter(token, 1), text, StringId::PukTriesLeft,
                    StringId::PukLocked, true);
    Box(text, kStopBox);
    return false;
  }
  const bool initialised = token->InitPIN(values->second.get());
  if (!initialised) Box(failure, kStopBox);
  if (!token->Logout()) {
    Box(failure, kStopBox);
    return false;
  }
  if (!initialised) return false;

  if (!token->LoginEx(values->second.get(), false, nullptr)) {
    std::string text = failure;
    AppendTriesLine(paths_.GemaltoGetRetryCounter(token, 0), text, StringId::TriesLeft,
                    StringId::PinLocked, false);
    Box(text, kStopBox);
    return false;
  }
  // Setting the PIN to itself clears the card's "must be changed" state.
  const bool set = token->SetPIN(values->second.get(), values->second.get());
  if (!set) Box(failure, kStopBox);
  if (!token->Logout()) {
    Box(failure, kStopBox);
    return false;
  }
  if (!set) return false;
  Box(StringId::PinActivated, kInfoBox);
  return true;
}

bool TransportPinActivation::RunGemalto2(PKCS11Base* token, const TokenInfo& info,
                                         bool transport) {
  ActivationSession session(token);
  const bool pinPad = info.protectedAuthenticationPath;

  struct Part {
    bool needed;
    StringId title;
    bool (IPinVendorPaths::*unblock)(PKCS11Base*, const TvrCommon::SecureString*,
                                     const TvrCommon::SecureString*);
    StringId success;
    StringId failure;
  };
  const Part parts[] = {
      {info.userPinToBeChanged, StringId::GlobalPinUnblockButton, &IPinVendorPaths::EtokenUnblockPin,
       StringId::GlobalPinUnblocked, StringId::GlobalPinActivationFailed},
      {transport, StringId::SigningPinUnblockButton, &IPinVendorPaths::EtokenUnblockSigningPin,
       StringId::SigningPinUnblocked, StringId::SigningPinActivationFailed},
  };

  // The card is ready for registration when every part it needed succeeded.
  bool ready = true;
  for (const Part& part : parts) {
    if (!part.needed) continue;
    bool done = false;
    for (;;) {
      std::optional<PinPair> values;
      if (!pinPad) {
        values = prompts_.AskUnblock(Res::Text(part.title), Bound(info.minPinLen),
                                     Bound(info.maxPinLen), Bound(info.minPinLen),
                                     Bound(info.maxPinLen));
        if (!values) return false;
      }
      const TvrCommon::SecureString* puk = values ? values->first.get() : nullptr;
      const TvrCommon::SecureString* newPin = values ? values->second.get() : nullptr;
      if ((paths_.*part.unblock)(token, puk, newPin)) {
        Box(part.success, kMbIconInformation | kMbSystemModal);
        done = true;
        break;
      }
      CK_ULONG first = 0, second = 0, third = 0, fourth = 0;
      const int tries = paths_.EtokenGetRetryCounters(token, &first, &second, &third, &fourth)
                            ? PlausibleTries(static_cast<int64_t>(fourth))
                            : -1;
      const Retry answer =
          AskRetry({part.failure, StringId::PukTriesLeft, StringId::PukLocked, true}, tries);
      if (answer == Retry::Final) return false;
      if (answer == Retry::Declined) break;
    }
    ready = ready && done;
  }
  return ready;
}
