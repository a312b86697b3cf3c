#include "CardSession.h"

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
  const VendorModuleEntry* row = token_ ? token_->GetVendorModule() : nullptr;
  return row ? row->typeKey : "";
}

void CardSession::DropToken() {
  info_.reset();
  objects_.reset();
  if (token_) {
    if (token_->IsLoggedIn()) token_->Logout();
    if (token_->HasSession()) token_->CloseSession();
    token_.reset();
  }
}

void CardSession::Close() {
  DropToken();
  view_ = View();
}

void CardSession::ReadCaches() {
  info_ = token_->GetTokenInfo();
  if (!info_) return;
  view_.loginEnabled = info_->userPinInitialized;
  token_->OpenSession(true);
  objects_ = token_->ReadObjects();
}

std::optional<CardSession::Notice> CardSession::RefreshCardList(const std::string& reader,
                                                                const std::string& cardName) {
  DropToken();
  view_ = View();
  keeper_.NoteCardConnected();
  const CardTypeEntry* cardType = FindCardTypeByCardName(cardName);
  const VendorModuleEntry* vendor = FindVendorModuleByType(cardType);
  if (vendor) {
    auto found = tokens_.find(vendor->typeKey);
    if (found != tokens_.end() && found->second) token_ = found->second->Clone();
  }
  if (!token_) return std::nullopt;

  std::vector<CK_SLOT_ID> slots = token_->GetSlotList(true);
  const uint32_t n = vendor->extraSlotCount + 1;
  if (n < 2) {
    view_.cards.push_back({DisplayText(cardType->displayName), 0});
  } else {
    view_.cardListEnabled = true;
    for (uint32_t i = 0; i < n; ++i)
      view_.cards.push_back({DisplayText(std::string(cardType->displayName) + " - " + vendor->slotNames[i]), i});
  }
  // A reader without a slot of its own leaves the clone on slot 0; the information read
  // below then says what is there, as it always did.
  SelectSlotForReader(slots, reader, 0, token_.get());
  ReadCaches();
  if (!info_) {
    view_.cards.clear();
    view_.cardListEnabled = false;
    token_.reset();
    return CardReadError();
  }
  return std::nullopt;
}

std::optional<CardSession::Notice> CardSession::ConnectSelectedCard(const std::string& reader,
                                                                    uint32_t slotIndex) {
  info_.reset();
  objects_.reset();
  if (!token_) return std::nullopt;
  if (token_->IsLoggedIn()) token_->Logout();
  if (token_->HasSession()) token_->CloseSession();
  std::vector<CK_SLOT_ID> slots = token_->GetSlotList(true);
  SelectSlotForReader(slots, reader, slotIndex, token_.get());
  ReadCaches();
  if (!info_) return CardReadError();
  return std::nullopt;
}

bool CardSession::IsLoggedIn() const { return token_ && token_->IsLoggedIn(); }

std::optional<CardSession::PinRequest> CardSession::LoginPinRequest() const {
  if (info_ && info_->protectedAuthenticationPath) return std::nullopt;
  const std::string key = TypeKey();
  PinRequest request;
  request.title = Res::Text(key == "Bit4ID" || key == "Gemalto2" ? Res::StringId::GlobalPinDialogTitle
                                                                  : Res::StringId::PinDialogTitle);
  if (info_) {
    request.minimum = static_cast<int>(info_->minPinLen);
    request.maximum = static_cast<int>(info_->maxPinLen);
  }
  return request;
}

std::optional<CardSession::Notice> CardSession::Login(const TvrCommon::SecureString* pin) {
  if (!token_) return std::nullopt;
  std::optional<Notice> notice;
  if (!token_->LoginEx(pin, false, nullptr))
    notice = Notice{BuildLoginFailedMessage(token_.get()), Platform::kMbIconError};
  GetTokenInfo(true);
  GetTokenObjects(true);
  return notice;
}

std::optional<CardSession::Notice> CardSession::Logout() {
  if (!token_) return std::nullopt;
  std::optional<Notice> notice;
  if (!token_->Logout()) notice = Notice{Res::Text(Res::StringId::LogoutFailed), Platform::kMbIconError};
  GetTokenInfo(true);
  GetTokenObjects(true);
  return notice;
}

TokenInfo* CardSession::GetTokenInfo(bool refresh) {
  if (refresh) info_ = token_ ? token_->GetTokenInfo() : nullptr;
  return info_.get();
}

void CardSession::KeepTokenInfo(std::unique_ptr<TokenInfo> info) {
  if (token_ && info) info_ = std::move(info);
}

TokenObjects* CardSession::GetTokenObjects(bool refresh) {
  if (refresh) objects_ = token_ ? token_->ReadObjects() : nullptr;
  return objects_.get();
}
