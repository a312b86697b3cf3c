#include "CardPinCommands.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "PKCS11Base.h"
#include "SharedUtilities.h"
#include "Strings.h"
#include "platform/PcscDeadline.h"
#include "platform/PinPad.h"
#include "platform/Profile.h"
#include "platform/ScopedLibrary.h"

namespace {

constexpr size_t kHeaderLength = 5;
constexpr uint8_t kSw1Success = 0x90;
constexpr uint8_t kSw1MoreData = 0x61;
// Data of one response plus its status word.
constexpr size_t kMaxResponse = 256 + 2;
// GET RESPONSE rounds before a card that keeps answering 61 xx is given up.
constexpr int kMaxContinuations = 16;
// The tries byte lies this many bytes before the end of the GET DATA answer.
constexpr size_t kTriesFromEnd = 13;

// Bytes that may hold PIN values; wiped before the memory is released.
class WipedBytes {
 public:
  explicit WipedBytes(size_t size) : bytes_(size, 0) {}
  ~WipedBytes() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
  WipedBytes(const WipedBytes&) = delete;
  WipedBytes& operator=(const WipedBytes&) = delete;
  uint8_t* Data() { return bytes_.data(); }
  size_t Size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

// The card in the reader as the service reports it now: none for an empty, mute or
// unavailable reader. An unaware current state makes the call answer at once.
std::optional<CardIdentity> IdentityOn(SCARDCONTEXT context, const std::string& readerName) {
  SCARD_READERSTATE state{};
  state.szReader = readerName.c_str();
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  if (SCardGetStatusChange(context, 0, &state, 1) != SCARD_S_SUCCESS) return std::nullopt;
  const DWORD flags = state.dwEventState;
  if (!(flags & SCARD_STATE_PRESENT) || (flags & (SCARD_STATE_MUTE | SCARD_STATE_UNAVAILABLE))) return std::nullopt;
  CardIdentity identity;
  identity.atr.assign(state.rgbAtr, state.rgbAtr + std::min<DWORD>(state.cbAtr, sizeof state.rgbAtr));
  identity.events = static_cast<uint16_t>(flags >> 16);
  return identity;
}

// A PC/SC context and a shared connection to one reader's card, left as they are when
// the scope ends.
class CardConnection {
 public:
  explicit CardConnection(const std::string& readerName) {
    if (Platform::EstablishContextWithin(SCARD_SCOPE_USER, context_.Put()) != SCARD_S_SUCCESS) {
      return;
    }
    DWORD protocol = 0;
    const LONG rv = Platform::ConnectWithin(context_.Get(), readerName, SCARD_SHARE_SHARED, kProtocols,
                                            card_.Put(), &protocol);
    if (rv == SCARD_E_TIMEOUT || rv == SCARD_E_CANCELLED) context_.Abandon();
    if (rv != SCARD_S_SUCCESS) return;
    SetProtocol(protocol);
  }
  CardConnection(const CardConnection&) = delete;
  CardConnection& operator=(const CardConnection&) = delete;

  bool Connected() const { return card_.Get() != 0 && pci_ != nullptr; }
  SCARDHANDLE Card() const { return card_.Get(); }

  // After another program reset the card: the same connection again, the card left as
  // it is. The protocol may have changed with the reset.
  bool Reconnect() {
    DWORD protocol = 0;
    pci_ = nullptr;
    if (SCardReconnect(card_.Get(), SCARD_SHARE_SHARED, kProtocols, SCARD_LEAVE_CARD,
                       &protocol) != SCARD_S_SUCCESS) {
      return false;
    }
    SetProtocol(protocol);
    return Connected();
  }

  // Whether the card this connection reached is still `expected`: the handle has seen no
  // removal, and the reader has counted no insertion or removal since `expected` was read.
  // A card swapped after this check leaves the handle dead, so nothing of ours reaches it.
  bool StillHolds(const std::string& readerName, const CardIdentity& expected) {
    char name[MAX_READERNAME];
    DWORD nameLength = sizeof name;
    DWORD state = 0;
    DWORD protocol = 0;
    uint8_t atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    const LONG rv = SCardStatus(card_.Get(), name, &nameLength, &state, &protocol, atr, &atrLength);
    NoteResult(rv);
    if (rv != SCARD_S_SUCCESS || atrLength > sizeof atr) return false;
    if (std::vector<uint8_t>(atr, atr + atrLength) != expected.atr) return false;
    const std::optional<CardIdentity> now = IdentityOn(context_.Get(), readerName);
    return now && *now == expected;
  }

  // Whether a call since the last ClearReset found the card reset by another program.
  bool WasReset() const { return wasReset_; }
  void ClearReset() { wasReset_ = false; }
  void NoteResult(LONG rv) { wasReset_ = wasReset_ || rv == SCARD_W_RESET_CARD; }

  // The response (data and status word) in response; false when PC/SC fails or the
  // answer is shorter than a status word.
  bool Transmit(const uint8_t* command, size_t length, uint8_t* response, size_t capacity,
                size_t& received) {
    DWORD got = static_cast<DWORD>(capacity);
    const LONG rv = SCardTransmit(card_.Get(), pci_, command, static_cast<DWORD>(length),
                                  nullptr, response, &got);
    NoteResult(rv);
    if (rv != SCARD_S_SUCCESS || got < 2 || got > capacity) return false;
    received = got;
    return true;
  }

 private:
  static constexpr DWORD kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

  void SetProtocol(DWORD protocol) {
    if (protocol == SCARD_PROTOCOL_T0) pci_ = SCARD_PCI_T0;
    if (protocol == SCARD_PROTOCOL_T1) pci_ = SCARD_PCI_T1;
  }

  AutoSCardContext context_;
  AutoSCardHandle card_{0, SCARD_LEAVE_CARD};  // released before the context
  const SCARD_IO_REQUEST* pci_ = nullptr;
  bool wasReset_ = false;
};

// Another program may hold the card for as long as it likes; pcsc-lite then asks again
// and again without end. Past this we give up and the command fails.
constexpr std::chrono::milliseconds kHoldDeadline{5000};

// One watchdog thread for the program's transactions, started with the first one: a
// thread per transaction would cost more than the card commands it guards. A waiting
// call past its deadline gets its connection dropped under it, which ends pcsc-lite's
// retry loop with an invalid handle.
class TransactionWatchdog {
 public:
  struct Watch {
    SCARDHANDLE card = 0;
    std::chrono::steady_clock::time_point deadline;
    bool fired = false;         // the deadline passed: the connection is being dropped
    bool disconnected = false;  // ... and has been
  };

  // Never destroyed: its thread outlives every caller and is never joined.
  static TransactionWatchdog& Get() {
    static TransactionWatchdog* watchdog = new TransactionWatchdog;
    return *watchdog;
  }

  // False when no watchdog thread could be started.
  bool Add(Watch& watch) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!started_) {
      try {
        std::thread([this] { Run(); }).detach();
      } catch (const std::system_error&) {
        return false;
      }
      started_ = true;
    }
    watches_.push_back(&watch);
    wake_.notify_one();
    return true;
  }

  // Whether the watch fired; once it did, returns only after the connection was dropped,
  // so nothing acts on the handle behind the caller's back.
  bool Remove(Watch& watch) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!watch.fired) {
      watches_.erase(std::find(watches_.begin(), watches_.end(), &watch));
      return false;
    }
    dropped_.wait(guard, [&] { return watch.disconnected; });
    return true;
  }

 private:
  TransactionWatchdog() = default;

  void Run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      if (watches_.empty()) {
        wake_.wait(guard);
        continue;
      }
      auto first = std::min_element(watches_.begin(), watches_.end(),
                                    [](const Watch* a, const Watch* b) { return a->deadline < b->deadline; });
      Watch* due = *first;
      // A copy: the watch may be gone once the wait lets go of the lock.
      const std::chrono::steady_clock::time_point deadline = due->deadline;
      if (std::chrono::steady_clock::now() < deadline) {
        wake_.wait_until(guard, deadline);
        continue;
      }
      watches_.erase(first);
      due->fired = true;
      const SCARDHANDLE card = due->card;
      guard.unlock();
      SCardDisconnect(card, SCARD_LEAVE_CARD);
      guard.lock();
      due->disconnected = true;
      dropped_.notify_all();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable dropped_;
  std::vector<Watch*> watches_;
  bool started_ = false;
};

// SCardBeginTransaction that gives up at the deadline (SCARD_E_TIMEOUT).
LONG BeginTransactionWithin(SCARDHANDLE card, std::chrono::milliseconds deadline) {
  TransactionWatchdog& watchdog = TransactionWatchdog::Get();
  TransactionWatchdog::Watch watch;
  watch.card = card;
  watch.deadline = std::chrono::steady_clock::now() + deadline;
  if (!watchdog.Add(watch)) return SCARD_E_NO_MEMORY;
  const LONG rv = SCardBeginTransaction(card);
  return watchdog.Remove(watch) ? SCARD_E_TIMEOUT : rv;
}

// Holds the card for one command sequence: no other program's commands (the vendor
// module's own among them) can come between ours. Ends leaving the card as it is.
class CardTransaction {
 public:
  explicit CardTransaction(CardConnection& connection)
      : card_(connection.Card()), rv_(BeginTransactionWithin(card_, kHoldDeadline)) {
    connection.NoteResult(rv_);
  }
  ~CardTransaction() {
    if (rv_ == SCARD_S_SUCCESS) SCardEndTransaction(card_, SCARD_LEAVE_CARD);
  }
  CardTransaction(const CardTransaction&) = delete;
  CardTransaction& operator=(const CardTransaction&) = delete;

  bool Held() const { return rv_ == SCARD_S_SUCCESS; }

 private:
  SCARDHANDLE card_;
  LONG rv_;
};

// Runs a command sequence while holding the card and returns its result; failure when
// the card cannot be held. A card that another program reset before or during the
// sequence lost whatever state the sequence had built, so the connection is made again
// once and the whole sequence runs again; a second reset gives failure. A command that
// PC/SC refused with the reset never reached the card, so a PIN is never tried twice.
template <typename Result, typename Sequence>
Result RunHoldingCard(CardConnection& connection, Result failure, Sequence sequence) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0 && !connection.Reconnect()) return failure;
    connection.ClearReset();
    Result result = failure;
    {
      const CardTransaction transaction(connection);
      if (transaction.Held()) result = sequence();
    }
    if (!connection.WasReset()) return result;
  }
  return failure;
}

// Header, Lc = 2n, then two blocks of n bytes, each value from the start of its block.
// The values are null for the PIN pad, which fills the zero blocks itself.
void BuildPinCommand(WipedBytes& command, const std::array<uint8_t, 4>& header, uint16_t n,
                     const TvrCommon::SecureString* first,
                     const TvrCommon::SecureString* second) {
  uint8_t* out = command.Data();
  std::copy(header.begin(), header.end(), out);
  out[4] = static_cast<uint8_t>(2 * n);
  if (!first) return;
  for (size_t i = 0; i < first->Length(); ++i) {
    out[kHeaderLength + i] = static_cast<uint8_t>(first->CStr()[i]);
  }
  for (size_t i = 0; i < second->Length(); ++i) {
    out[kHeaderLength + n + i] = static_cast<uint8_t>(second->CStr()[i]);
  }
}

void LoadMessageSet(SCARDHANDLE card, Platform::ReaderMessageSet set) {
  const std::string language = Platform::Profile().GetString("", "Language", "HUN");
  const Platform::ScopedLibrary library(Platform::kReaderPromptLibrary);
  const auto getMessages =
      library.Find<Platform::GetLanguageDependentReaderMessagesFn>(Platform::kReaderMessagesExport);
  const auto loadMessages =
      library.Find<Platform::LoadMessagesIntoReaderFn>(Platform::kLoadReaderMessagesExport);
  if (!getMessages || !loadMessages) return;
  loadMessages(card, getMessages(language.c_str(), static_cast<uint32_t>(set)));
}

}  // namespace

PinPadPrompts PinPadPromptTexts(Platform::ReaderMessageSet set) {
  using Res::StringId;
  const bool unblock = set == Platform::ReaderMessageSet::Unblock;
  const StringId ids[Platform::kPinPadPromptCount] = {
      unblock ? StringId::PinPadUnblockTitle : StringId::PinPadChangeTitle,
      unblock ? StringId::PinPadPukLabel : StringId::PinPadCurrentPinLabel,
      StringId::PinPadNewPinLabel,
      StringId::PinPadNewPinAgainLabel,
      StringId::PinPadEnterCurrentPin,
      StringId::PinPadEnterNewPin,
      StringId::PinPadEnterNewPinAgain,
      unblock ? StringId::PinPadUnblockSucceeded : StringId::PinPadChangeSucceeded,
      StringId::PinPadTimedOut,
      StringId::PinPadCancelled,
      StringId::PinPadNewPinsDiffer,
      StringId::PinPadBadParameter,
      unblock ? StringId::PinPadWrongPuk : StringId::PinPadWrongPin,
  };
  PinPadPrompts texts;
  for (size_t i = 0; i < texts.size(); ++i) texts[i] = Res::Text(ids[i]);
  return texts;
}

namespace {

bool ModifyOnPinPad(const CardConnection& connection, WipedBytes& command,
                    uint16_t minimumLength, uint16_t n, Platform::ReaderMessageSet set) {
  const Platform::ScopedLibrary library(Platform::kPinPadLibrary);
  const auto modify = library.Find<Platform::TVRCCardSPEModifyFn>(Platform::kPinPadModifyExport);
  if (!modify) return false;
  Platform::PinPadParameters parameters;
  parameters.firstOffset = 0;
  parameters.newOffset = static_cast<uint8_t>(n);
  parameters.minLength = minimumLength;
  parameters.maxLength = n;
  const auto block = Platform::EncodePinPadParameters(parameters);
  const PinPadPrompts texts = PinPadPromptTexts(set);
  std::array<const char*, Platform::kPinPadPromptCount> prompts;
  for (size_t i = 0; i < prompts.size(); ++i) prompts[i] = texts[i].c_str();
  uint8_t status[2] = {0, 0};
  uint32_t reserved = 0;
  const int done = modify(connection.Card(), static_cast<uint32_t>(command.Size()),
                          command.Data(), 2, status, &reserved, block.data(), prompts.data());
  return done != 0 && status[0] == kSw1Success && status[1] == 0x00;
}

bool RunPinCommand(const std::string& readerName, uint16_t minimumLength, uint16_t n,
                   OwnedPin first, OwnedPin second, const std::array<uint8_t, 4>& header,
                   Platform::ReaderMessageSet set, const CardIdentity* expected) {
  // Lc is one byte; and a value that does not fit its block would spill into the next.
  if (n == 0 || n > kMaxPinBlockLength) return false;
  if (static_cast<bool>(first) != static_cast<bool>(second)) return false;
  if (first && (first->Length() > n || second->Length() > n)) return false;

  CardConnection connection(readerName);
  if (!connection.Connected()) return false;
  WipedBytes command(kHeaderLength + 2 * static_cast<size_t>(n));
  BuildPinCommand(command, header, n, first.get(), second.get());

  // The PINs were typed for one card: another one in its place gets nothing.
  const auto sameCard = [&] { return !expected || connection.StillHolds(readerName, *expected); };
  if (first) {
    return RunHoldingCard(connection, false, [&] {
      if (!sameCard()) return false;
      uint8_t response[2];
      size_t received = 0;
      return connection.Transmit(command.Data(), command.Size(), response, sizeof response,
                                 received) &&
             response[0] == kSw1Success && response[1] == 0x00;
    });
  }

  // The reader's texts are switched, used and restored within one hold of the card.
  return RunHoldingCard(connection, false, [&] {
    if (!sameCard()) return false;
    LoadMessageSet(connection.Card(), set);
    const bool ok = ModifyOnPinPad(connection, command, minimumLength, n, set);
    LoadReaderMessages(connection.Card());
    return ok;
  });
}

}  // namespace

bool ApduChangePin(const std::string& readerName, uint16_t minimumLength, uint16_t n,
                   OwnedPin first, OwnedPin second, uint8_t cla, uint8_t ins, uint8_t p1,
                   uint8_t p2, const CardIdentity* expected) {
  return RunPinCommand(readerName, minimumLength, n, std::move(first), std::move(second),
                       {cla, ins, p1, p2}, Platform::ReaderMessageSet::General, expected);
}

bool ApduUnblockPin(const std::string& readerName, uint16_t minimumLength, uint16_t n,
                    OwnedPin first, OwnedPin second, uint8_t cla, uint8_t ins, uint8_t p1,
                    uint8_t p2, const CardIdentity* expected) {
  return RunPinCommand(readerName, minimumLength, n, std::move(first), std::move(second),
                       {cla, ins, p1, p2}, Platform::ReaderMessageSet::Unblock, expected);
}

bool GemaltoChangePin(const std::string& readerName, uint16_t minimumLength, uint16_t n,
                      OwnedPin currentPin, OwnedPin newPin, const CardIdentity* expected) {
  return ApduChangePin(readerName, minimumLength, n, std::move(currentPin), std::move(newPin),
                       0x00, 0x24, 0x00, 0x81, expected);
}

bool GemaltoUnblockPin(const std::string& readerName, uint16_t minimumLength, uint16_t n,
                       OwnedPin puk, OwnedPin newPin, const CardIdentity* expected) {
  return ApduUnblockPin(readerName, minimumLength, n, std::move(puk), std::move(newPin), 0x00,
                        0x2C, 0x00, 0x81, expected);
}

std::optional<CardIdentity> ReadCardIdentity(const std::string& readerName) {
  AutoSCardContext context;
  if (Platform::EstablishContextWithin(SCARD_SCOPE_USER, context.Put()) != SCARD_S_SUCCESS) return std::nullopt;
  return IdentityOn(context.Get(), readerName);
}

bool CardStillIn(const std::string& readerName, const CardIdentity& expected) {
  const std::optional<CardIdentity> now = ReadCardIdentity(readerName);
  return now && *now == expected;
}

void LoadReaderMessages(SCARDHANDLE card) {
  LoadMessageSet(card, Platform::ReaderMessageSet::General);
}

int GemaltoGetRetryCounter(const PKCS11Base* token, uint32_t index) {
  if (!token || index > 0xFF - 0x81) return -1;
  CardConnection connection(token->GetReaderName());
  if (!connection.Connected()) return -1;

  const uint8_t getData[] = {0x00, 0xCB, 0x00, 0xFF, 0x10, 0xA0, 0x0E,
                             0x83, 0x01, static_cast<uint8_t>(0x81 + index),
                             0x8C, 0x80, 0xDF, 0x21, 0x80, 0xDF, 0x27, 0x80, 0xDF, 0x28, 0x80};
  // The GET RESPONSE chain only makes sense to the card directly after its GET DATA.
  return RunHoldingCard(connection, -1, [&] {
    uint8_t response[kMaxResponse];
    size_t received = 0;
    if (!connection.Transmit(getData, sizeof getData, response, sizeof response, received)) {
      return -1;
    }
    // The data of every response counts, the first one's too: a T=1 reader answers with
    // the data and 90 00 at once.
    std::vector<uint8_t> collected(response, response + received - 2);
    uint8_t sw1 = response[received - 2];
    uint8_t sw2 = response[received - 1];
    for (int round = 0; sw1 == kSw1MoreData; ++round) {
      if (round == kMaxContinuations) return -1;
      const uint8_t getResponse[] = {0x00, 0xC0, 0x00, 0x00, sw2};
      if (!connection.Transmit(getResponse, sizeof getResponse, response, sizeof response,
                               received)) {
        return -1;
      }
      collected.insert(collected.end(), response, response + received - 2);
      sw1 = response[received - 2];
      sw2 = response[received - 1];
    }
    if (sw1 != kSw1Success || sw2 != 0x00 || collected.size() < kTriesFromEnd) return -1;
    return PlausibleTries(collected[collected.size() - kTriesFromEnd]);
  });
}
