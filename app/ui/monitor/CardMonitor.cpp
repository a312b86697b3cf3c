#include "CardMonitor.h"

#include <chrono>
#include <cstdio>

#include "CardRecognition.h"
#include "EtokenPin.h"
#include "EventLog.h"
#include "SharedUtilities.h"
#include "Strings.h"
#include "platform/PinPad.h"
#include "platform/Profile.h"
#include "platform/ScopedLibrary.h"

namespace {

using Res::StringId;

void Balloon(IBalloonTarget& sink, StringId title, StringId text, uint32_t icon) {
  sink.QueueBalloon(Res::Text(title), Res::Text(text), icon);
}

std::string Hex8(LONG code) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<uint32_t>(code));
  return text;
}

std::string Printf(const std::string& pattern, const std::string& value) {
  std::string text(pattern);
  size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, value);
  return text;
}

bool Has(DWORD state, DWORD flag) { return (state & flag) != 0; }

}  // namespace

ReaderEvent ClassifyReaderEvent(DWORD current, DWORD event, const std::vector<uint8_t>& atrBefore,
                                const std::vector<uint8_t>& atrNow) {
  const bool wasUnavailable = Has(current, SCARD_STATE_UNAVAILABLE);
  const bool isUnavailable = Has(event, SCARD_STATE_UNAVAILABLE);
  const bool cardNow = Has(event, SCARD_STATE_PRESENT) && !Has(event, SCARD_STATE_MUTE) && !isUnavailable;
  if ((current == 0 || Has(current, SCARD_STATE_EMPTY) || wasUnavailable) && cardNow) return ReaderEvent::Insertion;
  if (wasUnavailable) return ReaderEvent::None;
  if (Has(current, SCARD_STATE_PRESENT) && !Has(current, SCARD_STATE_MUTE) && Has(event, SCARD_STATE_EMPTY))
    return ReaderEvent::Removal;
  if (Has(current, SCARD_STATE_PRESENT) && isUnavailable) return ReaderEvent::Unavailable;
  if (Has(current, SCARD_STATE_PRESENT) && Has(event, SCARD_STATE_PRESENT) && !isUnavailable) {
    // The high word counts the insertions and removals of the reader: a card pulled and
    // another put in between two calls leaves the reader PRESENT with another count. A
    // service that does not count still shows another answer-to-reset (when it gives one).
    const bool counted = (current >> 16) != (event >> 16);
    const bool otherAtr = !atrBefore.empty() && !atrNow.empty() && atrBefore != atrNow;
    if (counted || otherAtr) return ReaderEvent::Swap;
  }
  return ReaderEvent::None;
}

CardMonitor::CardMonitor(IMonitorHost& host, CertificateRegistrar& registrar, IPcsc& pcsc)
    : host_(host), registrar_(registrar), pcsc_(pcsc) {}

CardMonitor::~CardMonitor() { Shutdown(); }

bool CardMonitor::StartCardDetection(bool showError) {
  StopCardDetection();
  {
    std::lock_guard<std::mutex> guard(lock_);
    states_.clear();
    states_.push_back(ReaderStateEntry{kPnpNotification, 0, 0, {}});
  }
  running_ = true;
  try {
    thread_ = std::thread(&CardMonitor::Run, this, showError);
  } catch (const std::system_error&) {
    running_ = false;
    if (showError)
      Balloon(host_, StringId::MonitorDetectionErrorTitle, StringId::MonitorDetectionErrorText, kIconError);
    return false;
  }
  return true;
}

bool CardMonitor::EstablishContext(bool showError) {
  // On the monitor thread: a service that accepted the connection but does not answer
  // must not hold up the window.
  SCARDCONTEXT context = 0;
  LONG rv = pcsc_.EstablishContext(&context, stopping_);
  if (rv != SCARD_S_SUCCESS) {
    if (stopping_) return false;  // given up: detection is being stopped
    LogEvent(EVENTLOG_ERROR_TYPE, "SCardEstablishContext returned: " + Hex8(rv));
    if (showError)
      Balloon(host_, StringId::MonitorDetectionErrorTitle, StringId::MonitorDetectionErrorText, kIconError);
    host_.ArmRestartTimer();
    return false;
  }
  std::lock_guard<std::mutex> guard(lock_);
  context_ = context;
  hasContext_ = true;
  return true;
}

void CardMonitor::StopCardDetection() {
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard<std::mutex> guard(lock_);
    states_.clear();
  }
  // The thread has ended: the context is ours alone again.
  if (hasContext_) {
    LONG rv = pcsc_.ReleaseContext(context_);
    if (rv != SCARD_S_SUCCESS) LogEvent(EVENTLOG_ERROR_TYPE, "SCardReleaseContext returned: " + Hex8(rv));
    hasContext_ = false;
    context_ = 0;
  }
}

void CardMonitor::CancelUntilStopped() {
  // A cancel reaches only a wait in progress: while the thread is busy with a card the
  // cancel would be lost and the next wait would block for good, so cancel until it ends.
  std::unique_lock<std::mutex> guard(lock_);
  while (running_) {
    if (hasContext_) {
      const SCARDCONTEXT context = context_;
      guard.unlock();
      pcsc_.Cancel(context);
      guard.lock();
    }
    stopped_.wait_for(guard, std::chrono::milliseconds(100), [this] { return !running_; });
  }
}

void CardMonitor::RequestStop() {
  stopping_ = true;
  // A service that does not answer holds the cancel: it waits on the helper, never on
  // the caller.
  if (!canceller_.joinable() && running_) canceller_ = std::thread(&CardMonitor::CancelUntilStopped, this);
}

bool CardMonitor::WaitStopped(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> guard(lock_);
  return stopped_.wait_for(guard, limit, [this] { return !running_; });
}

void CardMonitor::Shutdown() {
  RequestStop();
  if (canceller_.joinable()) canceller_.join();
  StopCardDetection();
  stopping_ = false;
}

bool CardMonitor::OnRestartTimer() {
  StopCardDetection();
  return StartCardDetection(false);
}

bool CardMonitor::Running() const { return running_; }

std::string CardMonitor::CurrentReader() const {
  std::lock_guard<std::mutex> guard(lock_);
  return currentReader_;
}

std::string CardMonitor::CardName() const {
  std::lock_guard<std::mutex> guard(lock_);
  return cardName_;
}

bool CardMonitor::HasCard(const std::string& reader) const {
  std::lock_guard<std::mutex> guard(lock_);
  return cards_.count(reader) != 0;
}

void CardMonitor::SetCurrentReader(const std::string& reader) {
  std::lock_guard<std::mutex> guard(lock_);
  currentReader_ = reader;
  cardName_.clear();
  for (const ReaderStateEntry& entry : states_)
    if (entry.reader == reader && !entry.atr.empty()) cardName_ = GetCardNameForAtr(entry.atr);
}

std::set<std::string> CardMonitor::GetReaderNameSet() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::set<std::string> names;
  for (size_t i = 0; i + 1 < states_.size(); ++i) names.insert(states_[i].reader);
  return names;
}

std::vector<std::string> CardMonitor::GetReaderNames() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> names;
  for (size_t i = 0; i + 1 < states_.size(); ++i) names.push_back(states_[i].reader);
  return names;
}

void CardMonitor::RebuildReaderStates(bool listReaders) {
  std::vector<std::string> readers;
  if (listReaders) {
    LONG rv = pcsc_.ListReaders(context_, readers);
    if (rv != SCARD_S_SUCCESS) {
      LogEvent(EVENTLOG_ERROR_TYPE, "SCardListReaders returned: " + Hex8(rv));
      readers.clear();
    }
  }
  readers.push_back(kPnpNotification);
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<ReaderStateEntry> rebuilt;
  for (const std::string& name : readers) {
    ReaderStateEntry entry{name, 0, 0, {}};
    for (const ReaderStateEntry& old : states_)
      if (old.reader == name) entry = old;
    rebuilt.push_back(entry);
  }
  states_.swap(rebuilt);
}

void CardMonitor::Run(bool showError) {
  if (stopping_ || !EstablishContext(showError)) {
    std::lock_guard<std::mutex> guard(lock_);
    running_ = false;
    stopped_.notify_all();
    return;
  }
  // pcsc-lite's pseudo-reader does not report the readers at once: list them before the
  // first wait, so that cards present at start go through the insertion road.
  OnReaderChange(true);
  for (;;) {
    std::vector<ReaderStateEntry> states;
    {
      std::lock_guard<std::mutex> guard(lock_);
      states = states_;
    }
    // The answers-to-reset the last call reported: the call overwrites them.
    std::vector<std::vector<uint8_t>> atrs;
    for (const ReaderStateEntry& entry : states) atrs.push_back(entry.atr);
    LONG rv = stopping_ ? static_cast<LONG>(SCARD_E_CANCELLED) : pcsc_.GetStatusChange(context_, INFINITE, states);
    if (rv != SCARD_S_SUCCESS) {
      OnError(rv);
      std::lock_guard<std::mutex> guard(lock_);
      running_ = false;
      stopped_.notify_all();
      return;
    }
    bool readersChanged = false;
    for (size_t i = 0; i < states.size(); ++i) {
      ReaderStateEntry& entry = states[i];
      const DWORD event = entry.eventState;
      if (Has(event, SCARD_STATE_CHANGED) && !stopping_) {
        if (i + 1 == states.size()) {
          readersChanged = true;
        } else {
          switch (ClassifyReaderEvent(entry.currentState, event, atrs[i], entry.atr)) {
            case ReaderEvent::Insertion: OnInsertion(entry.reader, entry.atr); break;
            case ReaderEvent::Removal: OnRemoval(entry.reader); break;
            case ReaderEvent::Unavailable: OnUnavailable(entry.reader); break;
            case ReaderEvent::Swap:
              // Pulled and another card put in while we were busy: the old card's road out,
              // then the new card's road in. A mute card had no road in, so has none out.
              if (!Has(entry.currentState, SCARD_STATE_MUTE)) OnRemoval(entry.reader);
              if (!Has(event, SCARD_STATE_MUTE)) OnInsertion(entry.reader, entry.atr);
              break;
            case ReaderEvent::None: break;
          }
        }
      }
      entry.currentState = event;
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      for (const ReaderStateEntry& entry : states)
        for (ReaderStateEntry& kept : states_)
          if (kept.reader == entry.reader) kept = entry;
    }
    if (readersChanged && !stopping_) OnReaderChange(false);
  }
}

bool CardMonitor::InsertionBalloonsOn() const {
  Platform::Profile profile;
  return profile.GetDword("", "ShowBallons", 1) != 0 &&
         profile.GetDword("", "ShowBallonsOnlyFromCertificateRegistration", 0) == 0;
}

void CardMonitor::OnInsertion(const std::string& reader, const std::vector<uint8_t>& atr, bool reread) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    cards_.insert(reader);
  }
  if (reread) {
    // The same card, read again through the modules just initialised: no news for the user.
    ReadCard(reader, GetCardNameForAtr(atr), false);
    return;
  }
  if (InsertionBalloonsOn())
    host_.QueueBalloon(Res::Text(StringId::MonitorCardInsertedTitle),
                       Printf(Res::Text(StringId::MonitorCardInsertedText), reader), kIconInformation);
  std::string cardName;
  if (!atr.empty()) {
    cardName = GetCardNameForAtr(atr);
    LogEvent(EVENTLOG_INFORMATION_TYPE, "Smart card inserted; Reader: " + reader + ", ATR: " +
                                            BytesToHexUpper(atr.data(), atr.size()) + ", Card: " + cardName);
  } else {
    LogEvent(EVENTLOG_ERROR_TYPE, "Smart card inserted; Reader: " + reader + ", ATR: -");
    Balloon(host_, StringId::MonitorReadErrorTitle, StringId::MonitorReadErrorText, kIconError);
    return;
  }
  ReadCard(reader, cardName, true);
}

void CardMonitor::ReadCard(const std::string& reader, const std::string& cardName, bool announce) {
  std::string csp, ksp, cardModule;
  GetCardTypeProviderNames(cardName, csp, ksp, cardModule);
  const CardTypeEntry* cardType = FindCardTypeByCardName(cardName);
  const VendorModuleEntry* vendor = FindVendorModuleByType(cardType);
  const std::string typeKey = vendor ? vendor->typeKey : "";
  if (typeKey == "Gemalto") {
    csp = "Gemalto Classic Card CSP";
    ksp.clear();
  }
  PKCS11Base* token = nullptr;
  if (vendor) {
    auto tokens = host_.Tokens();
    auto found = tokens.find(typeKey);
    if (found != tokens.end()) token = found->second;
  }
  if (token && typeKey == "Oberthur") {
    token->Reinitialize();
  } else if (token && (typeKey == "Bit4ID" || typeKey == "Gemalto" || typeKey == "Gemalto2")) {
    RegisterSlots(token, typeKey, vendor->extraSlotCount, reader, csp, ksp, announce);
  }
  if ((csp == "Microsoft Base Smart Card Crypto Provider" || ksp == "Microsoft Smart Card Key Storage Provider") &&
      (!cardType || cardType->autoRegister != 0))
    registrar_.RegisterCertificates(reader, csp, ksp, nullptr, nullptr);
  if (!vendor && announce)
    Balloon(host_, StringId::MonitorUnsupportedCardTitle, StringId::MonitorUnsupportedCardText, kIconWarning);
  if (!announce) return;

  bool current = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (reader == currentReader_) {
      cardName_ = cardName;
      current = true;
    }
  }
  if (current) host_.PostCardChanged();
}

void CardMonitor::RegisterSlots(PKCS11Base* token, const std::string& typeKey, uint32_t extraSlots,
                                const std::string& reader, std::string& csp, std::string& ksp, bool activate) {
  // Every step is a card call that may take long: a stop is looked at between them.
  if (stopping_) return;
  std::vector<CK_SLOT_ID> slots = token->GetSlotList(true);
  for (uint32_t k = 0; k <= extraSlots && !stopping_; ++k) {
    // Without a slot of this reader the token would stay on another reader's slot, and
    // that card's certificates would be registered (and later removed) under this one.
    if (!SelectSlotForReader(slots, reader, k, token)) continue;
    if (stopping_) return;
    std::unique_ptr<TokenInfo> info = token->GetTokenInfo();
    if (!info) {
      Balloon(host_, StringId::MonitorReadErrorTitle, StringId::MonitorReadErrorText, kIconError);
      continue;
    }
    bool transport = false;
    if (typeKey == "Gemalto2") {
      token->OpenSession(false);
      transport = EtokenSigningPinNeedsActivation(token);
      if (token->HasSession()) token->CloseSession();
    }
    if (!info->userPinInitialized || info->userPinToBeChanged || transport) {
      // A card read again is not asked about again: the user answered at its insertion.
      if (!activate || !host_.TransportPinActivation(token, *info, transport)) {
        csp.clear();
        ksp.clear();
        continue;
      }
      if (stopping_) return;
      info = token->GetTokenInfo();
    }
    if (stopping_) return;
    token->OpenSession(false);
    std::unique_ptr<TokenObjects> objects = token->ReadObjectsUnlessStopped(stopping_);
    if (objects && !stopping_) registrar_.RegisterCertificates(reader, csp, ksp, token, objects.get());
    if (token->HasSession()) token->CloseSession();
  }
}

void CardMonitor::OnRemoval(const std::string& reader) {
  if (InsertionBalloonsOn())
    host_.QueueBalloon(Res::Text(StringId::MonitorCardRemovedTitle),
                       Printf(Res::Text(StringId::MonitorCardRemovedText), reader), kIconInformation);
  LogEvent(EVENTLOG_INFORMATION_TYPE, "Smart card removed; Reader: " + reader);
  bool current = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // Gone before its certificates go: a re-registration that checks afterwards knows.
    cards_.erase(reader);
    if (reader == currentReader_) {
      cardName_.clear();
      current = true;
    }
  }
  if (current) host_.PostCardChanged();
  registrar_.UnregisterCertificates(reader);
}

void CardMonitor::OnUnavailable(const std::string& reader) {
  if (InsertionBalloonsOn())
    host_.QueueBalloon(Res::Text(StringId::MonitorReaderUnavailableTitle),
                       Printf(Res::Text(StringId::MonitorReaderUnavailableText), reader), kIconInformation);
  // The window and whatever holds the card hear of it as of a removal: the card may come
  // back as another one.
  bool current = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    cards_.erase(reader);
    if (reader == currentReader_) {
      cardName_.clear();
      current = true;
    }
  }
  if (current) host_.PostCardChanged();
  registrar_.UnregisterCertificates(reader);
}

void CardMonitor::LoadReaderPrompts(const std::string& reader) {
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  LONG rv = pcsc_.Connect(context_, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                          &protocol);
  // pcsc-lite answers an empty reader with "no smart card" where Windows says "removed".
  if (rv == SCARD_W_REMOVED_CARD || rv == SCARD_E_NO_SMARTCARD)
    rv = pcsc_.Connect(context_, reader, SCARD_SHARE_DIRECT, 0, &card, &protocol);
  if (rv != SCARD_S_SUCCESS) return;
  Platform::ScopedLibrary prompts(Platform::kReaderPromptLibrary);
  auto getMessages =
      prompts.Find<Platform::GetLanguageDependentReaderMessagesFn>(Platform::kReaderMessagesExport);
  auto loadMessages = prompts.Find<Platform::LoadMessagesIntoReaderFn>(Platform::kLoadReaderMessagesExport);
  if (getMessages && loadMessages) {
    std::string language = Platform::Profile().GetString("", "Language", "HUN");
    loadMessages(card, getMessages(language.c_str(), 1));
  }
  pcsc_.Disconnect(card, SCARD_LEAVE_CARD);
}

void CardMonitor::OnReaderChange(bool first) {
  std::set<std::string> before = first ? std::set<std::string>() : GetReaderNameSet();
  RebuildReaderStates(true);
  std::set<std::string> after = GetReaderNameSet();
  for (const std::string& reader : after)
    if (!before.count(reader)) LoadReaderPrompts(reader);
  // An unplugged reader is gone from the list without a removal of its card (pcsc-lite
  // reports it unknown, not unavailable): its certificates go with it.
  for (const std::string& reader : before) {
    if (after.count(reader)) continue;
    {
      std::lock_guard<std::mutex> guard(lock_);
      cards_.erase(reader);
    }
    registrar_.UnregisterCertificates(reader);
  }
  // The cards that stay in their readers, with what the last call said of them.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> staying;
  if (!first) {
    for (auto& [key, token] : host_.Tokens())
      if (token) token->Reinitialize();
    std::lock_guard<std::mutex> guard(lock_);
    for (const ReaderStateEntry& entry : states_)
      if (before.count(entry.reader) && cards_.count(entry.reader) && !entry.atr.empty())
        staying.emplace_back(entry.reader, entry.atr);
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (states_.size() > 1) {
      currentReader_ = states_[0].reader;
      cardName_ = states_[0].atr.empty() ? "" : GetCardNameForAtr(states_[0].atr);
    } else {
      currentReader_.clear();
      cardName_.clear();
    }
  }
  host_.PostReadersChanged();
  // What was registered from them came through the modules as they were before: read them
  // again, so that the store follows what the cards hold now (a command may have written
  // meanwhile, and its own re-registration stops when it hears of the reader change).
  for (const auto& [reader, atr] : staying) {
    if (stopping_) return;
    if (!HasCard(reader)) continue;
    registrar_.UnregisterCertificates(reader);
    OnInsertion(reader, atr, true);
  }
}

void CardMonitor::OnError(LONG result) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    cards_.clear();
  }
  registrar_.UnregisterAll();
  if (result == SCARD_E_CANCELLED) return;
  LogEvent(EVENTLOG_ERROR_TYPE, "SCardGetStatusChange returned: " + Hex8(result));
  bool hadReader = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    hadReader = !currentReader_.empty();
    currentReader_.clear();
    cardName_.clear();
  }
  if (hadReader) {
    RebuildReaderStates(false);
    host_.PostReadersChanged();
  }
  host_.ArmRestartTimer();
}
