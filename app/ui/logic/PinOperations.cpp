#include "PinOperations.h"

#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "EventLog.h"
#include "PKCS11Base.h"
#include "PinTexts.h"
#include "platform/MessageBox.h"

using Res::StringId;
using namespace Platform;

namespace {

// One operation on one card type: the counter it uses up (its tries line after a failure
// and its pre-check), and its texts. selector < 0: no counter.
struct OperationRow {
  int selector;
  StringId tries;
  StringId locked;     // the tries line's locked text
  StringId preLocked;  // what the pre-check shows for a count of 0
  StringId success;
  StringId failure;
};

constexpr StringId kNone = StringId::EndOfTable;

StringId FrameFailure(PinOperation operation) {
  switch (operation) {
    case PinOperation::ChangePin: return StringId::PinChangeFailed;
    case PinOperation::UnblockPin: return StringId::PinUnblockFailed;
    case PinOperation::ChangeSigningPin: return StringId::SigningPinChangeFailed;
    case PinOperation::UnblockSigningPin: return StringId::SigningPinUnblockFailed;
  }
  return StringId::PinChangeFailed;
}

bool WarnsLastTry(PinOperation operation) {
  return operation == PinOperation::UnblockPin || operation == PinOperation::UnblockSigningPin;
}

int Bound(uint32_t value) { return static_cast<int>(value); }

}  // namespace

PinOperations::Kind PinOperations::KindOf(const PKCS11Base* token) {
  const VendorModuleEntry* row = token->GetVendorModule();
  if (!row || !row->typeKey) return Kind::NoRow;
  if (std::strcmp(row->typeKey, "Bit4ID") == 0) return Kind::Bit4id;
  if (std::strcmp(row->typeKey, "Gemalto") == 0) return Kind::Gemalto;
  if (std::strcmp(row->typeKey, "Gemalto2") == 0) return Kind::Gemalto2;
  return Kind::Other;
}

namespace {

OperationRow RowOf(int kind, PinOperation operation) {
  // kind: 0 Bit4ID, 1 Gemalto, 2 Gemalto2, 3 other or none.
  switch (operation) {
    case PinOperation::ChangePin:
      if (kind == 0)
        return {kBit4idGlobalPin, StringId::GlobalPinTriesLeft, StringId::GlobalPinLocked,
                StringId::GlobalPinLocked, StringId::GlobalPinChanged, StringId::GlobalPinChangeFailed};
      if (kind == 1)
        return {0, StringId::PinTriesLeft, StringId::PinLocked, StringId::PinLocked,
                StringId::PinChanged, StringId::PinChangeFailed};
      if (kind == 2)
        return {0, StringId::GlobalPinTriesLeft, StringId::GlobalPinLocked, StringId::GlobalPinLocked,
                StringId::GlobalPinChanged, StringId::GlobalPinChangeFailed};
      return {-1, kNone, kNone, kNone, StringId::PinChanged, StringId::PinChangeFailed};
    case PinOperation::UnblockPin:
      if (kind == 0)
        return {kBit4idGlobalPuk, StringId::GlobalPukTriesLeft, StringId::GlobalPukLocked,
                StringId::GlobalPukLocked, StringId::GlobalPinUnblocked,
                StringId::GlobalPinUnblockFailed};
      if (kind == 1)
        return {1, StringId::PukTriesLeft, StringId::PukLocked, StringId::PukLocked,
                StringId::PinUnblocked, StringId::PinUnblockFailed};
      if (kind == 2)
        return {3, StringId::PukTriesLeft, StringId::PukLocked, StringId::PukLocked,
                StringId::GlobalPinUnblocked, StringId::GlobalPinUnblockFailed};
      return {-1, kNone, kNone, kNone, StringId::PinUnblocked, StringId::PinUnblockFailed};
    case PinOperation::ChangeSigningPin:
      if (kind == 0)
        return {kBit4idSigningPin, StringId::SigningPinTriesLeft, StringId::SigningPinLocked,
                StringId::SigningPinLocked, StringId::SigningPinChanged,
                StringId::SigningPinChangeFailed};
      if (kind == 2)
        return {2, StringId::SigningPinTriesLeft, StringId::SigningPinLocked,
                StringId::SigningPinLocked, StringId::SigningPinChanged,
                StringId::SigningPinChangeFailed};
      return {-1, kNone, kNone, kNone, StringId::SigningPinChanged,
              StringId::SigningPinChangeFailed};
    case PinOperation::UnblockSigningPin:
      if (kind == 0)
        return {kBit4idSigningPuk, StringId::SigningPukTriesLeft, StringId::SigningPukLocked,
                StringId::SigningPukLocked, StringId::SigningPinUnblocked,
                StringId::SigningPinUnblockFailed};
      // The eToken's one PUK counts for both PINs: named the signing PUK before the
      // operation, the PUK after a failure.
      if (kind == 2)
        return {3, StringId::PukTriesLeft, StringId::PukLocked, StringId::SigningPukLocked,
                StringId::SigningPinUnblocked, StringId::SigningPinUnblockFailed};
      return {-1, kNone, kNone, kNone, StringId::SigningPinUnblocked,
              StringId::SigningPinUnblockFailed};
  }
  return {-1, kNone, kNone, kNone, StringId::PinChanged, StringId::PinChangeFailed};
}

int RowKind(int kind) { return kind > 2 ? 3 : kind; }

}  // namespace

void PinOperations::Say(StringId text, unsigned icon) { Say(Res::Text(text), icon); }

void PinOperations::Say(const std::string& text, unsigned icon) {
  port_.MessageBox(text, "", icon);
}

int PinOperations::Counter(Kind kind, PinOperation operation, PKCS11Base* token) {
  const OperationRow row = RowOf(RowKind(static_cast<int>(kind)), operation);
  if (row.selector < 0) return -1;
  switch (kind) {
    case Kind::Bit4id:
      return paths_.Bit4idGetRetryCounter(token, static_cast<uint8_t>(row.selector));
    case Kind::Gemalto:
      return paths_.GemaltoGetRetryCounter(token, static_cast<uint32_t>(row.selector));
    case Kind::Gemalto2:
      return paths_.EtokenGetRetryCounter(token, static_cast<uint8_t>(row.selector));
    default:
      return -1;
  }
}

bool PinOperations::UpdateButtons(PinButtons& buttons) {
  const CardHold hold = host_.HoldCard();
  PKCS11Base* token = host_.Token();
  if (!token) {
    buttons = PinButtons{};
    return true;
  }
  const TokenInfo* info = host_.GetTokenInfo(false);
  if (!info) {
    Say(StringId::CardReadError, kMbIconError);
    return false;
  }
  const Kind kind = KindOf(token);
  const bool twoPins = kind == Kind::Bit4id || kind == Kind::Gemalto2;
  buttons.changeText = twoPins ? StringId::GlobalPinChangeButton : StringId::PinChangeButton;
  buttons.unblockText = twoPins ? StringId::GlobalPinUnblockButton : StringId::PinUnblockButton;
  buttons.changeEnabled = buttons.unblockEnabled = info->userPinInitialized;
  buttons.signingVisible = twoPins;
  buttons.signingEnabled = twoPins && info->userPinInitialized;
  buttons.statusEnabled = true;
  return true;
}

std::unique_ptr<TokenInfo> IPinPageHost::ReadTokenInfo() {
  PKCS11Base* token = Token();
  return token ? token->GetTokenInfo() : nullptr;
}

void PinOperations::ShowStatus(std::function<void()> finished) {
  // The host's card task holds the card for the work and its follow-up.
  const CardHold hold = host_.HoldCard();
  PKCS11Base* token = host_.Token();
  if (!token) {
    Say(StringId::NoInformation, kMbIconInformation);
    if (finished) finished();
    return;
  }
  struct Status {
    std::unique_ptr<TokenInfo> info;
    std::string text;
  };
  auto status = std::make_shared<Status>();
  host_.RunCardTask(
      [this, token, status] {
        status->info = host_.ReadTokenInfo();
        const TokenInfo* info = status->info.get();
        if (!info) return;
        std::string& text = status->text;
        text = Res::Text(StringId::TransportState) + ": " +
               Res::Text(info->userPinInitialized ? StringId::NoWord : StringId::YesWord);
        switch (KindOf(token)) {
          case Kind::Bit4id: {
            static const StringId kLines[4][2] = {
                {StringId::GlobalPinTriesLeft, StringId::GlobalPinLocked},
                {StringId::GlobalPukTriesLeft, StringId::GlobalPukLocked},
                {StringId::SigningPinTriesLeft, StringId::SigningPinLocked},
                {StringId::SigningPukTriesLeft, StringId::SigningPukLocked}};
            for (uint8_t selector = 0; selector < 4; ++selector) {
              AppendTriesLine(paths_.Bit4idGetRetryCounter(token, selector), text,
                              kLines[selector][0], kLines[selector][1], false);
            }
            break;
          }
          case Kind::Gemalto:
            AppendTriesLine(paths_.GemaltoGetRetryCounter(token, 0), text, StringId::PinTriesLeft,
                            StringId::PinLocked, false);
            AppendTriesLine(paths_.GemaltoGetRetryCounter(token, 1), text, StringId::PukTriesLeft,
                            StringId::PukLocked, false);
            break;
          case Kind::Gemalto2: {
            CK_ULONG first = 0, second = 0, third = 0, fourth = 0;
            if (paths_.EtokenGetRetryCounters(token, &first, &second, &third, &fourth)) {
              AppendTriesLine(PlausibleTries(static_cast<int64_t>(first)), text,
                              StringId::GlobalPinTriesLeft, StringId::GlobalPinLocked, false);
              AppendTriesLine(PlausibleTries(static_cast<int64_t>(third)), text,
                              StringId::SigningPinTriesLeft, StringId::SigningPinLocked, false);
              AppendTriesLine(PlausibleTries(static_cast<int64_t>(fourth)), text,
                              StringId::PukTriesLeft, StringId::PukLocked, false);
            }
            break;
          }
          case Kind::Other:
          case Kind::NoRow:
            if (info->userPinLocked) text += "\n" + Res::Text(StringId::PinLocked);
            break;
        }
      },
      [this, status, finished = std::move(finished)] {
        if (status->info) host_.KeepTokenInfo(std::move(status->info));
        else Say(StringId::CardReadError, kMbIconError);
        Say(status->text.empty() ? Res::Text(StringId::NoInformation) : status->text, kMbIconInformation);
        if (finished) finished();
      });
}

// What the card says before the PIN dialog: a reason to stop, or the information the
// dialog and the attempt go by.
struct PinOperations::Checks {
  Kind kind = Kind::NoRow;
  std::optional<StringId> stop;
  unsigned stopIcon = kMbIconError;
  std::optional<TokenInfo> info;          // what the operation goes by
  std::unique_ptr<TokenInfo> fresh;       // read for it, for the host's cache
  std::optional<Bit4idPinLimits> limits;  // the Bit4id dialog's lengths
  // The card in the reader when the operation started: the PINs go to it or nowhere.
  std::optional<CardIdentity> card;
};

// The card's part after the dialog, and its outcome.
struct PinOperations::Attempt {
  std::optional<StringId> stop;  // silent when `quiet`
  bool quiet = false;
  bool done = false;
  int counter = -1;
  std::unique_ptr<TokenInfo> fresh;
};

void PinOperations::Run(PinOperation operation, std::function<void()> finished) {
  const CardHold hold = host_.HoldCard();
  PKCS11Base* token = host_.Token();
  if (!token) {
    Say(FrameFailure(operation), kMbIconError);
    if (finished) finished();
    return;
  }
  auto checks = std::make_shared<Checks>();
  if (operation != PinOperation::ChangePin) {
    // A copy: the host may replace its record while the card is asked.
    if (const TokenInfo* cached = host_.GetTokenInfo(false)) checks->info = *cached;
  }
  host_.RunCardTask(
      [this, operation, token, checks] {
        Checks& c = *checks;
        c.card = paths_.ReadCardIdentity(token->GetReaderName());
        if (token->IsLoggedIn()) {
          c.stop = StringId::PleaseLogOut;
          c.stopIcon = kMbIconWarning;
          return;
        }
        c.kind = KindOf(token);
        const OperationRow row = RowOf(RowKind(static_cast<int>(c.kind)), operation);
        if (operation == PinOperation::UnblockPin && c.kind == Kind::Other) {
          c.stop = StringId::NotImplemented;
          return;
        }
        // A counter already at 0 refuses the operation; an unknown one lets it go on.
        if (row.selector >= 0 && Counter(c.kind, operation, token) == 0) {
          c.stop = row.preLocked;
          return;
        }
        if (operation == PinOperation::ChangePin) {
          c.fresh = host_.ReadTokenInfo();
          if (c.fresh) c.info = *c.fresh;
        }
        if (!c.info) {
          c.stop = FrameFailure(operation);
          return;
        }
        if (!c.info->protectedAuthenticationPath && c.kind == Kind::Bit4id) {
          Bit4idPinLimits limits;
          if (!paths_.Bit4idGetPinLimit(paths_.ReaderNumber(token->GetReaderName()), limits))
            limits = Bit4idPinLimits{};
          c.limits = limits;
        }
      },
      [this, operation, checks, finished = std::move(finished)]() mutable {
        if (checks->fresh) host_.KeepTokenInfo(std::move(checks->fresh));
        if (checks->stop) {
          Say(*checks->stop, checks->stopIcon);
          if (finished) finished();
          return;
        }
        AskAndAttempt(operation, std::move(checks), std::move(finished));
      });
}

void PinOperations::AskAndAttempt(PinOperation operation, std::shared_ptr<Checks> checks,
                                  std::function<void()> finished) {
  // The PINs typed go to the card they were asked for, or nowhere: the card task before
  // this one held the card until now, this hold takes over across the dialog.
  const CardHold hold = host_.HoldCard();
  PKCS11Base* token = host_.Token();
  const Kind kind = checks->kind;
  const TokenInfo info = *checks->info;
  const OperationRow row = RowOf(RowKind(static_cast<int>(kind)), operation);
  // Shared by the task and wiped when the last holder lets go.
  auto values = std::make_shared<PinPair>();
  if (!info.protectedAuthenticationPath) {
    PinLengthBounds pin{Bound(info.minPinLen), Bound(info.maxPinLen)};
    PinLengthBounds puk = pin;
    if (checks->limits) {
      const bool global =
          operation == PinOperation::ChangePin || operation == PinOperation::UnblockPin;
      pin = global ? checks->limits->globalPin : checks->limits->signingPin;
      puk = global ? checks->limits->globalPuk : checks->limits->signingPuk;
    }
    const bool twoPins = kind == Kind::Bit4id || kind == Kind::Gemalto2;
    std::optional<PinPair> entered;
    switch (operation) {
      case PinOperation::ChangePin:
        entered = prompts_.AskChange(
            Res::Text(twoPins ? StringId::GlobalPinChangeButton : StringId::PinChangeButton),
            pin.minimum, pin.maximum);
        break;
      case PinOperation::UnblockPin:
        entered = prompts_.AskUnblock(
            Res::Text(twoPins ? StringId::GlobalPinUnblockButton : StringId::PinUnblockButton),
            pin.minimum, pin.maximum, puk.minimum, puk.maximum);
        break;
      case PinOperation::ChangeSigningPin:
        entered = prompts_.AskChange(Res::Text(StringId::SigningPinChangeButton), pin.minimum,
                                     pin.maximum);
        break;
      case PinOperation::UnblockSigningPin:
        entered = prompts_.AskUnblock(Res::Text(StringId::SigningPinUnblockButton), pin.minimum,
                                      pin.maximum, puk.minimum, puk.maximum);
        break;
    }
    if (!entered) {
      if (finished) finished();
      return;
    }
    *values = std::move(*entered);
  }
  if (hold.CardLeft()) {
    Say(StringId::CardChangedDuringCommand, kMbIconError);
    if (finished) finished();
    return;
  }

  auto attempt = std::make_shared<Attempt>();
  const std::optional<CardIdentity> card = checks->card;
  host_.RunCardTask(
      [this, operation, token, kind, info, row, values, attempt, card] {
        Attempt& a = *attempt;
        if (!token->IsTokenPresent()) {
          a.stop = StringId::PinCardNotInReader;
          return;
        }
        // Another card in the reader that nobody has reported yet gets neither the PINs
        // nor a question about its counters.
        const std::string reader = token->GetReaderName();
        const auto swapped = [&] { return card && !paths_.CardStillIn(reader, *card); };
        if (swapped()) {
          a.stop = StringId::CardChangedDuringCommand;
          return;
        }
        const bool signing = operation == PinOperation::ChangeSigningPin ||
                             operation == PinOperation::UnblockSigningPin;
        if (signing && kind != Kind::Bit4id && kind != Kind::Gemalto2) {
          a.quiet = true;
          return;
        }
        if (operation == PinOperation::UnblockPin && kind == Kind::NoRow) {
          a.stop = StringId::NotImplemented;
          return;
        }
        if (operation == PinOperation::ChangePin && (kind == Kind::Other || kind == Kind::NoRow) &&
            info.userPinLocked) {
          a.stop = StringId::PinLocked;
          return;
        }
        // The PIN pad, when the card has one, takes the values here.
        a.done = CallVendor(kind, operation, token, info, std::move(*values), card ? &*card : nullptr);
        if (!a.done && swapped()) {
          a.stop = StringId::CardChangedDuringCommand;
          return;
        }
        // The main window's record follows the card's PIN state after every attempt.
        a.fresh = host_.ReadTokenInfo();
        if (!a.done && row.selector >= 0) a.counter = Counter(kind, operation, token);
      },
      [this, operation, row, attempt, finished = std::move(finished)] {
        const Attempt& a = *attempt;
        if (a.fresh) host_.KeepTokenInfo(std::move(attempt->fresh));
        if (a.stop) {
          Say(*a.stop, kMbIconError);
        } else if (a.quiet) {
        } else if (a.done) {
          Say(row.success, kMbIconInformation);
        } else {
          std::string text = Res::Text(row.failure);
          if (row.selector >= 0)
            AppendTriesLine(a.counter, text, row.tries, row.locked, WarnsLastTry(operation));
          Say(text, kMbIconError);
        }
        if (finished) finished();
      });
}

bool PinOperations::CallVendor(Kind kind, PinOperation operation, PKCS11Base* token,
                               const TokenInfo& info, PinPair values, const CardIdentity* expected) {
  const std::string reader = token->GetReaderName();
  const auto minimum = static_cast<uint16_t>(info.minPinLen);
  const auto blockLength = static_cast<uint16_t>(info.maxPinLen);
  switch (operation) {
    case PinOperation::ChangePin:
      switch (kind) {
        case Kind::Bit4id:
          return paths_.Bit4idChangePinPuk(reader, 0, std::move(values.first),
                                           std::move(values.second), expected);
        case Kind::Gemalto:
          return paths_.GemaltoChangePin(reader, minimum, blockLength, std::move(values.first),
                                         std::move(values.second), expected);
        case Kind::Gemalto2:
          return token->SetPIN(values.first.get(), values.second.get());
        default:
          return ChangeByPkcs11(token, info, std::move(values));
      }
    case PinOperation::UnblockPin:
      switch (kind) {
        case Kind::Bit4id:
          return paths_.Bit4idUnblockPin(reader, 0, std::move(values.first),
                                         std::move(values.second), expected);
        case Kind::Gemalto:
          return paths_.GemaltoUnblockPin(reader, minimum, blockLength, std::move(values.first),
                                          std::move(values.second), expected);
        case Kind::Gemalto2:
          return paths_.EtokenUnblockPin(token, values.first.get(), values.second.get());
        default:
          return false;
      }
    case PinOperation::ChangeSigningPin:
      if (kind == Kind::Bit4id)
        return paths_.Bit4idChangePinPuk(reader, 2, std::move(values.first),
                                         std::move(values.second), expected);
      return paths_.EtokenChangeSigningPin(token, values.first.get(), values.second.get());
    case PinOperation::UnblockSigningPin:
      if (kind == Kind::Bit4id)
        return paths_.Bit4idUnblockPin(reader, 1, std::move(values.first),
                                       std::move(values.second), expected);
      return paths_.EtokenUnblockSigningPin(token, values.first.get(), values.second.get());
  }
  return false;
}

bool PinOperations::ChangeByPkcs11(PKCS11Base* token, const TokenInfo& /*info*/,
                                   PinPair values) {
  if (!token->LoginEx(values.first.get(), false, nullptr)) return false;
  const bool set = token->SetPIN(values.first.get(), values.second.get());
  if (!token->Logout()) {
    // The new PIN is on the card: calling the change failed would make the user try the
    // old PIN again and use up its tries.
    LogEvent(EVENTLOG_ERROR_TYPE, kLogoutFailedEvent);
  }
  return set;
}
