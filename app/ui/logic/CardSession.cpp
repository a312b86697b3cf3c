#include "CardSession.h"

#include <utility>

#include "CardRecognition.h"
#include "CertificateTexts.h"
#include "LoginFailedMessage.h"
#include "Strings.h"
#include "platform/MessageBox.h"

namespace {

CardSession::Notice CardReadError() {
  return {Res::Text(Res::StringId::CardReadError), Platform::kMbIconError | Platform::kMbSystemModal};
}

}  // namespace

CardSession::CardSession(TokenRefMap tokens) : tokens_(std::move(tokens)) {}

CardSession::~CardSession() { Close(); }

std::string CardSession::TypeKey() const {
  const VendorModuleEntry* row = card_.token ? card_.token->GetVendorModule() : nullptr;
  return row ? row->typeKey : "";
}

std::unique_ptr<CardSession::Work> CardSession::BeginWork() {
  auto work = std::make_unique<Work>();
  work->tokens_ = &tokens_;
  work->card_ = std::move(card_);
  card_ = Card();
  // The lists keep what they show until the work is done.
  card_.view = work->card_.view;
  working_ = true;
  return work;
}

void CardSession::FinishWork(Work& work) {
  card_ = std::move(work.card_);
  work.card_ = Card();
  working_ = false;
}

template <typename F>
auto CardSession::RunNow(F f) {
  // A work under way has the card: there is nothing here to act on.
  if (working_) return decltype(f(std::declval<Work&>()))();
  const std::unique_ptr<Work> work = BeginWork();
  auto result = f(*work);
  FinishWork(*work);
  return result;
}

void CardSession::Work::DropToken() {
  card_.info.reset();
  card_.objects.reset();
  if (PKCS11Base* token = card_.token.get()) {
    if (token->IsLoggedIn()) token->Logout();
    if (token->HasSession()) token->CloseSession();
    card_.token.reset();
  }
}

void CardSession::Close() {
  // A work under way has the card: it frees what it has when it is dropped.
  if (working_) return;
  const std::unique_ptr<Work> work = BeginWork();
  work->DropToken();
  FinishWork(*work);
  card_.view = View();
}

void CardSession::Work::Connect() {
  card_.info = card_.token->GetTokenInfo();
  if (!card_.info) return;
  card_.view.loginEnabled = card_.info->userPinInitialized;
  card_.token->OpenSession(true);
  card_.objects = card_.token->ReadObjects();
}

void CardSession::Work::ReadCaches() {
  card_.info = card_.token ? card_.token->GetTokenInfo() : nullptr;
  card_.objects = card_.token ? card_.token->ReadObjects() : nullptr;
}

std::optional<CardSession::Notice> CardSession::Work::RefreshCardList(const std::string& reader,
                                                                      const std::string& cardName) {
  DropToken();
  card_.view = View();
  const CardTypeEntry* cardType = FindCardTypeByCardName(cardName);
  const VendorModuleEntry* vendor = FindVendorModuleByType(cardType);
  if (vendor) {
    auto found = tokens_->find(vendor->typeKey);
    if (found != tokens_->end() && found->second) card_.token = found->second->Clone();
  }
  if (!card_.token) return std::nullopt;

  std::vector<CK_SLOT_ID> slots = card_.token->GetSlotList(true);
  const uint32_t n = vendor->extraSlotCount + 1;
  if (n < 2) {
    card_.view.cards.push_back({DisplayText(cardType->displayName), 0});
  } else {
    card_.view.cardListEnabled = true;
    for (uint32_t i = 0; i < n; ++i)
      card_.view.cards.push_back({DisplayText(std::string(cardType->displayName) + " - " + vendor->slotNames[i]), i});
  }
  // A reader without a slot of its own leaves the clone on slot 0; the information read
  // below then says what is there, as it always did.
  SelectSlotForReader(slots, reader, 0, card_.token.get());
  Connect();
  if (!card_.info) {
    card_.view.cards.clear();
    card_.view.cardListEnabled = false;
    card_.token.reset();
    return CardReadError();
  }
  return std::nullopt;
}

std::optional<CardSession::Notice> CardSession::Work::ConnectSelectedCard(const std::string& reader,
                                                                          uint32_t slotIndex) {
  card_.info.reset();
  card_.objects.reset();
  PKCS11Base* token = card_.token.get();
  if (!token) return std::nullopt;
  if (token->IsLoggedIn()) token->Logout();
  if (token->HasSession()) token->CloseSession();
  std::vector<CK_SLOT_ID> slots = token->GetSlotList(true);
  SelectSlotForReader(slots, reader, slotIndex, token);
  Connect();
  if (!card_.info) return CardReadError();
  return std::nullopt;
}

std::optional<CardSession::Notice> CardSession::Work::Login(const TvrCommon::SecureString* pin) {
  if (!card_.token) return std::nullopt;
  std::optional<Notice> notice;
  if (!card_.token->LoginEx(pin, false, nullptr))
    notice = Notice{BuildLoginFailedMessage(card_.token.get()), Platform::kMbIconError};
  ReadCaches();
  return notice;
}

std::optional<CardSession::Notice> CardSession::Work::Logout() {
  if (!card_.token) return std::nullopt;
  std::optional<Notice> notice;
  if (!card_.token->Logout()) notice = Notice{Res::Text(Res::StringId::LogoutFailed), Platform::kMbIconError};
  ReadCaches();
  return notice;
}

std::optional<CardSession::Notice> CardSession::RefreshCardList(const std::string& reader,
                                                                const std::string& cardName) {
  keeper_.NoteCardConnected();
  return RunNow([&](Work& work) { return work.RefreshCardList(reader, cardName); });
}

std::optional<CardSession::Notice> CardSession::ConnectSelectedCard(const std::string& reader,
                                                                    uint32_t slotIndex) {
  return RunNow([&](Work& work) { return work.ConnectSelectedCard(reader, slotIndex); });
}

std::optional<CardSession::Notice> CardSession::Login(const TvrCommon::SecureString* pin) {
  return RunNow([&](Work& work) { return work.Login(pin); });
}

std::optional<CardSession::Notice> CardSession::Logout() {
  return RunNow([&](Work& work) { return work.Logout(); });
}

bool CardSession::IsLoggedIn() const { return card_.token && card_.token->IsLoggedIn(); }

std::optional<CardSession::PinRequest> CardSession::LoginPinRequest() const {
  const TokenInfo* info = card_.info.get();
  if (info && info->protectedAuthenticationPath) return std::nullopt;
  const std::string key = TypeKey();
  PinRequest request;
  request.title = Res::Text(key == "Bit4ID" || key == "Gemalto2" ? Res::StringId::GlobalPinDialogTitle
                                                                  : Res::StringId::PinDialogTitle);
  if (info) {
    request.minimum = static_cast<int>(info->minPinLen);
    request.maximum = static_cast<int>(info->maxPinLen);
  }
  return request;
}

TokenInfo* CardSession::GetTokenInfo(bool refresh) {
  if (refresh) card_.info = card_.token ? card_.token->GetTokenInfo() : nullptr;
  return card_.info.get();
}

void CardSession::KeepTokenInfo(std::unique_ptr<TokenInfo> info) {
  if (card_.token && info) card_.info = std::move(info);
}

TokenObjects* CardSession::GetTokenObjects(bool refresh) {
  if (refresh) card_.objects = card_.token ? card_.token->ReadObjects() : nullptr;
  return card_.objects.get();
}
