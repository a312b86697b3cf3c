#include "CertificateCommands.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include <openssl/bio.h>
#include <openssl/evp.h>

#include "CardRecognition.h"
#include "CardReplace.h"
#include "CertificateTexts.h"
#include "ContentsTree.h"
#include "EventLog.h"
#include "Registration.h"
#include "SharedUtilities.h"
#include "TextFormat.h"
#include "platform/FileHelpers.h"

namespace {

using Res::StringId;
using Platform::kMbIconError;
using Platform::kMbIconInformation;
using Platform::kMbIconQuestion;
using Platform::kMbIconWarning;
using Platform::kMbOk;
using Platform::kMbYesNo;
using Platform::kMbYesNoCancel;

constexpr const char* kPemBegin = "-----BEGIN CERTIFICATE-----";
constexpr const char* kPemEnd = "-----END CERTIFICATE-----";
constexpr const char* kGemaltoCsp = "Gemalto Classic Card CSP";
constexpr const char* kMicrosoftCsp = "Microsoft Base Smart Card Crypto Provider";
constexpr const char* kMicrosoftKsp = "Microsoft Smart Card Key Storage Provider";

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

X509Ptr DecodeDer(const std::vector<uint8_t>& der) {
  if (der.empty() || der[0] != 0x30) return nullptr;
  const unsigned char* p = der.data();
  return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// A certificate file is a few kilobytes.
constexpr size_t kMaxCertificateFileBytes = 1 << 20;

bool IsPkcs11RegistrationType(const std::string& typeKey) {
  return typeKey == "Bit4ID" || typeKey == "Gemalto" || typeKey == "Gemalto2";
}

// The last key record, in handle order, whose identifier is exactly `id`.
template <typename Map>
CK_OBJECT_HANDLE LastKeyWithId(const Map& keys, const std::string& id) {
  CK_OBJECT_HANDLE found = 0;
  for (const auto& [handle, key] : keys)
    if (key->id && *key->id == id) found = handle;
  return found;
}

void CutToCharacter(std::string& text, size_t limit) {
  if (text.size() <= limit) return;
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
}

}  // namespace

std::string StripPemCertificateArmor(std::string text) {
  for (const char* remove : {kPemBegin, kPemEnd, "\r", "\n"}) {
    const size_t length = std::strlen(remove);
    for (size_t at = text.find(remove); at != std::string::npos; at = text.find(remove, at))
      text.erase(at, length);
  }
  return text;
}

std::vector<uint8_t> Base64DecodeString(const std::string& text) {
  std::vector<uint8_t> out;
  BioPtr source(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  BIO* base64 = BIO_new(BIO_f_base64());
  if (!source || !base64) {
    BIO_free(base64);
    return out;
  }
  BIO_set_flags(base64, BIO_FLAGS_BASE64_NO_NL);
  BioPtr chain(BIO_push(base64, source.release()));
  uint8_t chunk[4096];
  for (int n; (n = BIO_read(chain.get(), chunk, sizeof chunk)) > 0;) out.insert(out.end(), chunk, chunk + n);
  return out;
}

X509Ptr DecodeCertificateFile(const std::vector<uint8_t>& bytes) {
  if (X509Ptr certificate = DecodeDer(bytes)) return certificate;
  std::string text(bytes.begin(), bytes.end());
  // Files saved by other programs often carry a description before the armour (and
  // sometimes after it): only the first armoured block is Base64.
  if (const size_t begin = text.find(kPemBegin); begin != std::string::npos) {
    const size_t end = text.find(kPemEnd, begin);
    text = text.substr(begin, end == std::string::npos ? std::string::npos : end + std::strlen(kPemEnd) - begin);
  }
  return DecodeDer(Base64DecodeString(StripPemCertificateArmor(text)));
}

std::string SafeFileName(const std::string& name, const std::string& extension) {
  std::string safe;
  for (char c : name) safe += (c == '/' || c == '\\' || c == '\0') ? '_' : c;
  for (size_t i = 0; i < safe.size() && safe[i] == '.'; ++i) safe[i] = '_';
  CutToCharacter(safe, NAME_MAX - extension.size());
  return safe + extension;
}

bool CardLeftDuringCommand(const CardHold& hold, IUserPort& port) {
  if (!hold.CardLeft()) return false;
  port.MessageBox(Res::Text(StringId::CardChangedDuringCommand), "", kMbOk | kMbIconError);
  return true;
}

ContentsCommands::ContentsCommands(IContentsHost& host, IContentsView& view, IUserPort& port)
    : host_(host), view_(view), port_(port) {}

int ContentsCommands::Box(StringId text, unsigned flags) { return port_.MessageBox(Res::Text(text), "", flags); }

void ContentsCommands::SetHandler(int command, Handler handler) { handlers_[command] = std::move(handler); }

void ContentsCommands::Run(int command, std::optional<CK_OBJECT_HANDLE> caret) {
  switch (command) {
    case kCmdViewCertificate: return ViewCertificate(caret);
    case kCmdRenewCertificate: return RenewCertificate(caret);
    case kCmdRegisterCertificate: return RegisterCertificate(caret);
    case kCmdDeleteCertificate: return DeleteCertificate(caret);
    case kCmdAssignCertificate: return AssignCertificate(caret);
    case kCmdCopyCertificatesToFolder: return CopyCertificatesToFolder();
    default:
      if (const auto handler = handlers_.find(command); handler != handlers_.end() && handler->second)
        handler->second(caret);
  }
}

void ContentsCommands::ViewCertificate(std::optional<CK_OBJECT_HANDLE> caret) {
  if (!caret) return;
  // The record is shown by reference.
  const CardHold hold = host_.HoldCard();
  const TokenObjects* objects = host_.GetTokenObjects(false);
  const CertificateObject* record = objects ? objects->FindCertificate(*caret) : nullptr;
  if (!record) return;
  if (!DecodeDer(record->value) || !view_.ShowCertificate(record->value))
    Box(StringId::CertificateViewImpossible, kMbOk | kMbIconError);
}

std::optional<X509Ptr> ContentsCommands::ReadCertificateFile(StringId failure) {
  const std::optional<std::string> path = view_.ChooseCertificateFile();
  if (!path) return std::nullopt;
  // A regular file of at most the cap: a FIFO would never end, a huge file fill the memory.
  std::string text;
  const Platform::FileRead read = Platform::ReadRegularFile(*path, kMaxCertificateFileBytes, true, text);
  if (read != Platform::FileRead::Ok && read != Platform::FileRead::TooLarge) {
    Box(StringId::CertificateFileOpenFailed, kMbOk | kMbIconError);
    return std::nullopt;
  }
  X509Ptr certificate =
      read == Platform::FileRead::Ok ? DecodeCertificateFile(std::vector<uint8_t>(text.begin(), text.end())) : nullptr;
  if (!certificate || !X509_get0_pubkey(certificate.get())) {
    Box(failure, kMbOk | kMbIconError);
    return std::nullopt;
  }
  return certificate;
}

void ContentsCommands::RenewCertificate(std::optional<CK_OBJECT_HANDLE> caret) {
  if (!caret) return;
  const CardHold hold = host_.HoldCard();
  PKCS11Base* token = host_.Token();
  if (!token) {
    Box(StringId::RenewFailed, kMbOk | kMbIconError);
    return;
  }
  if (!token->IsLoggedIn()) {
    Box(StringId::ContentsPleaseLogIn, kMbOk);
    return;
  }
  const TokenObjects* objects = host_.GetTokenObjects(false);
  const CertificateObject* old = objects ? objects->FindCertificate(*caret) : nullptr;
  if (!old || !old->publicKey) {
    Box(StringId::RenewFailed, kMbOk | kMbIconError);
    return;
  }
  std::optional<X509Ptr> renewed = ReadCertificateFile(StringId::RenewFailed);
  if (!renewed || CardLeftDuringCommand(hold, port_)) return;
  if (EVP_PKEY_eq(old->publicKey.get(), X509_get0_pubkey(renewed->get())) != 1) {
    Box(StringId::RenewKeysDiffer, kMbOk | kMbIconError);
    return;
  }
  // The write runs on a card task; the card stays held until its follow-up is over.
  const std::string label = old->label;
  const std::string id = old->GetId();
  const CK_OBJECT_HANDLE oldHandle = *caret;
  auto certificate = std::make_shared<X509Ptr>(std::move(*renewed));
  // Kept to be written back should the card take the new one only after the old is gone.
  auto previous = std::make_shared<X509Ptr>(old->certificate ? X509_dup(old->certificate.get()) : nullptr);
  auto result = std::make_shared<ReplaceResult>(ReplaceResult::NotCreated);
  CommandTaskBegins(view_);
  host_.RunCardTask(
      [token, oldHandle, label, id, certificate, previous, result] {
        // The new certificate goes on first: whatever fails, the key keeps a certificate.
        std::function<bool()> restore;
        if (*previous) restore = [&] { return token->CreateCertificate(&id, &label, 0, previous->get()); };
        *result = ReplaceOnCard(
            *token, oldHandle, [&] { return token->CreateCertificate(&id, &label, 0, certificate->get()); },
            restore);
      },
      [this, result] {
        CommandTaskEnds(view_);
        switch (*result) {
          case ReplaceResult::Replaced: Box(StringId::RenewSucceeded, kMbOk | kMbIconInformation); break;
          case ReplaceResult::NotCreated: Box(StringId::NewCertificateCreateFailed, kMbOk | kMbIconError); break;
          case ReplaceResult::BothKept: Box(StringId::ReplaceCertificateBothKept, kMbOk | kMbIconError); break;
          case ReplaceResult::OldLost: Box(StringId::ReplaceCertificateOldLost, kMbOk | kMbIconError); break;
          case ReplaceResult::OldRestored:
            Box(StringId::ReplaceCertificateOldRestored, kMbOk | kMbIconError);
            break;
        }
        RereadCardIntoTree(host_, view_, [this] { ReregisterCertificates(); });
      });
}

void ContentsCommands::RegisterCertificate(std::optional<CK_OBJECT_HANDLE> caret) {
  if (!caret) {
    Box(StringId::CertificateNotRegistrable, kMbOk | kMbIconError);
    return;
  }
  const CardHold hold = host_.HoldCard();
  const std::string cardName = host_.CardName();
  const VendorModuleEntry* vendor = FindVendorModuleByType(FindCardTypeByCardName(cardName));
  if (!vendor) {
    Box(StringId::CertificateNotRegistrable, kMbOk | kMbIconError);
    return;
  }
  const std::string typeKey = vendor->typeKey;
  if (!IsPkcs11RegistrationType(typeKey)) {
    Box(StringId::NotImplemented, kMbOk | kMbIconError);
    return;
  }
  std::string csp, ksp, cardModule;
  GetCardTypeProviderNames(cardName, csp, ksp, cardModule);
  if (typeKey == "Gemalto") {
    csp = kGemaltoCsp;
    ksp.clear();
  }
  PKCS11Base* token = host_.Token();
  const TokenObjects* objects = host_.GetTokenObjects(false);
  const CertificateObject* record = objects ? objects->FindCertificate(*caret) : nullptr;
  if (!token || !record) {
    Box(StringId::CertificateNotRegistrable, kMbOk | kMbIconError);
    return;
  }
  // A certificate the revocation check found revoked stays out of the store by this road
  // too: removing the card would not take it out again.
  const std::string thumbprint = CertificateThumbprintHex(record->certificate.get());
  if (IsInRevokedKeys(thumbprint)) {
    LogEvent(EVENTLOG_WARNING_TYPE, "A revoked certificate is not registered: " + thumbprint);
    Box(StringId::CertificateNotRegistrable, kMbOk | kMbIconError);
    return;
  }
  std::string provider;
  uint32_t providerType = 0;
  if (record->publicKey && EVP_PKEY_base_id(record->publicKey.get()) == EVP_PKEY_EC) {
    provider = ksp;
  } else {
    provider = csp;
    // No provider is installed by name here: type 0, as the registration on insertion does.
    if (!GetProviderTypeByName(csp, providerType)) providerType = 0;
  }
  // The registration may ask the card (a key's container name) and writes the store: a
  // card task.
  auto registered = std::make_shared<int>(0);
  CommandTaskBegins(view_);
  host_.RunCardTask(
      [token, objects, certificate = *caret, store = host_.PersonalStore(), provider, providerType,
       reader = host_.ReaderName(), registered] {
        // A list of its own: the main window's per-reader list does not learn of this one,
        // so card removal leaves it in the store.
        ReaderCertificateMap registeredHere;
        int expired = 0, expiring = 0;
        RegisterPkcs11CardCertificates(token, objects, certificate, store, provider, providerType, reader,
                                       registeredHere, *registered, expired, expiring);
      },
      [this, registered] {
        CommandTaskEnds(view_);
        if (*registered != 0) Box(StringId::CertificateRegistered, kMbOk | kMbIconInformation);
        else Box(StringId::CertificateNotRegistrable, kMbOk | kMbIconError);
      });
}

void ContentsCommands::AssignCertificate(std::optional<CK_OBJECT_HANDLE> caret) {
  if (!caret) return;
  const CardHold hold = host_.HoldCard();
  PKCS11Base* token = host_.Token();
  if (token && !token->IsLoggedIn()) {
    Box(StringId::ContentsPleaseLogIn, kMbOk);
    return;
  }
  const TokenObjects* objects = host_.GetTokenObjects(false);
  const PublicKeyObject* key = objects ? objects->FindPublicKey(*caret) : nullptr;
  if (!key || !key->publicKey) {
    Box(StringId::AssignFailed, kMbOk | kMbIconError);
    return;
  }
  std::optional<X509Ptr> certificate = ReadCertificateFile(StringId::AssignFailed);
  if (!certificate || CardLeftDuringCommand(hold, port_)) return;
  if (EVP_PKEY_eq(key->publicKey.get(), X509_get0_pubkey(certificate->get())) != 1) {
    Box(StringId::AssignKeysDiffer, kMbOk | kMbIconError);
    return;
  }
  if (!token) return;
  const std::string id = key->GetId();
  const std::string label = key->label;
  auto written = std::make_shared<X509Ptr>(std::move(*certificate));
  auto created = std::make_shared<bool>(false);
  CommandTaskBegins(view_);
  host_.RunCardTask([token, id, label, written, created] { *created = token->CreateCertificate(&id, &label, 0, written->get()); },
                    [this, created] {
                      CommandTaskEnds(view_);
                      if (*created) Box(StringId::AssignSucceeded, kMbOk | kMbIconInformation);
                      else Box(StringId::NewCertificateCreateFailed, kMbOk | kMbIconError);
                      RereadCardIntoTree(host_, view_, [this] { ReregisterCertificates(); });
                    });
}

void ContentsCommands::DeleteCertificate(std::optional<CK_OBJECT_HANDLE> caret) {
  if (!caret) return;
  const CardHold hold = host_.HoldCard();
  PKCS11Base* token = host_.Token();
  if (!token) {
    Box(StringId::ContentsCardReadError, kMbOk | kMbIconError);
    return;
  }
  if (!token->IsLoggedIn()) {
    Box(StringId::ContentsPleaseLogIn, kMbOk);
    return;
  }
  const TokenObjects* objects = host_.GetTokenObjects(false);
  const CertificateObject* record = objects ? objects->FindCertificate(*caret) : nullptr;
  if (!record) {
    Box(StringId::ContentsCardReadError, kMbOk | kMbIconError);
    return;
  }
  if (Box(StringId::DeleteConfirm, kMbYesNo | kMbIconWarning) != Platform::kIdYes) return;
  if (CardLeftDuringCommand(hold, port_)) return;
  const CK_OBJECT_HANDLE publicKey = record->id ? LastKeyWithId(objects->publicKeys, *record->id) : 0;
  const CK_OBJECT_HANDLE privateKey = record->id ? LastKeyWithId(objects->privateKeys, *record->id) : 0;
  bool withKeys = false;
  if (publicKey || privateKey) {
    const int answer = Box(StringId::DeleteKeysQuestion, kMbYesNoCancel | kMbIconQuestion);
    if (answer == Platform::kIdYes) withKeys = true;
    else if (answer != Platform::kIdNo) return;
    if (CardLeftDuringCommand(hold, port_)) return;
  }
  const bool deletePublic = withKeys && publicKey;
  const bool deletePrivate = withKeys && privateKey;
  struct Deleted {
    bool certificate = false, publicKey = false, privateKey = false;
  };
  auto deleted = std::make_shared<Deleted>();
  const CK_OBJECT_HANDLE certificate = *caret;
  CommandTaskBegins(view_);
  host_.RunCardTask(
      [token, certificate, publicKey, privateKey, deletePublic, deletePrivate, deleted] {
        deleted->certificate = token->DestroyObject(certificate);
        if (deletePublic) deleted->publicKey = token->DestroyObject(publicKey);
        if (deletePrivate) deleted->privateKey = token->DestroyObject(privateKey);
      },
      [this, deletePublic, deletePrivate, deleted] {
        CommandTaskEnds(view_);
        auto yesNo = [](bool ok) { return Res::Text(ok ? StringId::YesWord : StringId::NoWord); };
        std::string text;
        if (deletePrivate)
          text += FormatText(Res::Text(StringId::PrivateKeyDeleted), yesNo(deleted->privateKey).c_str()) + "\n";
        if (deletePublic)
          text += FormatText(Res::Text(StringId::PublicKeyDeleted), yesNo(deleted->publicKey).c_str()) + "\n";
        text += FormatText(Res::Text(StringId::CertificateDeleted), yesNo(deleted->certificate).c_str());
        const bool allDone = deleted->certificate && (!deletePublic || deleted->publicKey) &&
                             (!deletePrivate || deleted->privateKey);
        port_.MessageBox(text, "", kMbOk | (allDone ? kMbIconInformation : kMbIconError));
        RereadCardIntoTree(host_, view_, [this] { ReregisterCertificates(); });
      });
}

void ContentsCommands::CopyCertificatesToFolder() {
  const CardHold hold = host_.HoldCard();
  const TokenObjects* objects = host_.GetTokenObjects(false);
  if (!objects) return;
  const std::optional<std::string> folder = view_.ChooseFolder();
  if (!folder || CardLeftDuringCommand(hold, port_)) return;
  if (folder->empty()) {
    Box(StringId::CopyToFolderFailed, kMbOk | kMbIconError);
    LogEvent(EVENTLOG_ERROR_TYPE, "failed to convert an item identifier list to a file system path");
    return;
  }
  auto failed = [&](const CertificateObject& record, const std::string& event) {
    port_.MessageBox(FormatText(Res::Text(StringId::CopyCertificateFailed), Utf8ToCString(record.label).c_str()), "",
                     kMbOk);
    LogEvent(EVENTLOG_WARNING_TYPE, event);
  };
  int number = 0;
  for (const auto& [handle, record] : objects->certificates) {
    if (!record) {
      LogEvent(EVENTLOG_WARNING_TYPE, "no certificate");
      continue;
    }
    if (folder->size() >= PATH_MAX) {
      failed(*record, "failed to copy a string");
      continue;
    }
    ++number;
    const std::string name =
        SafeFileName(FormatText("%d - %s", number, GetCertificateDisplayName(record->certificate.get(), true).c_str()),
                     ".cer");
    const std::string path = (folder->back() == '/' ? *folder : *folder + "/") + name;
    if (path.size() >= PATH_MAX) {
      failed(*record, "failed to append one path to the end of another\r\npath: " + *folder + "\r\nmore: " + name);
      continue;
    }
    // A link planted under the file's name is replaced, never written through, and an
    // earlier copy stays whole until the new one is complete.
    errno = 0;
    if (!Platform::ReplaceFileInFolder(*folder, name, std::string(record->value.begin(), record->value.end()), 0644)) {
      const int error = errno;
      std::string event = "failed to open file: " + path;
      if (error) event += std::string("\r\n") + std::strerror(error);
      failed(*record, event);
    }
  }
  view_.OpenFolder(*folder);
}

void ContentsCommands::ReregisterCertificates() { ReregisterCertificates(host_.ReaderName()); }

void ContentsCommands::ReregisterLater(const std::string& reader) {
  host_.WhenCardConnected([this, reader, alive = std::weak_ptr<int>(alive_)] {
    if (alive.lock()) ReregisterCertificates(reader);
  });
}

void ContentsCommands::ReregisterCertificates(const std::string& reader) {
  // What to register is decided here; the store, the revocation checks and the issuer
  // downloads run on the task, which is given only copies and the card the window keeps
  // for it.
  const CardHold hold = host_.HoldCard();
  // The card left or was replaced, or the modules were initialised afresh under it (a
  // reader plugged in), or the window's own card work has it: what the command wrote is
  // known only once the window has the reader's card again. The store follows what it
  // reads then; a card that left leaves nothing behind.
  if (!hold.Holds() || hold.CardLeft()) {
    ReregisterLater(reader);
    return;
  }
  if (reader.empty()) return;
  if (reader != host_.ReaderName()) {
    // The user went to another reader meanwhile: the card written to is not the window's.
    // One that left is unregistered; one still there keeps what was registered for it.
    if (host_.CardPresent(reader)) {
      LogEvent(EVENTLOG_WARNING_TYPE, "Certificates not registered again: the reader is no longer selected: " + reader);
      return;
    }
    IContentsHost& host = host_;
    host_.RunStoreTask([&host, reader] { host.UnregisterCertificates(reader); }, [] {});
    return;
  }
  if (!host_.Token() && !host_.CardPresent(reader)) {
    // No card in the reader: what is left of it goes from the store. The task borrows no
    // card, so it holds none: a hold on a card that is not there would only keep the
    // window from taking the one that comes back. One that comes back meanwhile is
    // registered once the window has it.
    IContentsHost& host = host_;
    host_.RunStoreTask([&host, reader] { host.UnregisterCertificates(reader); },
                       [this, reader] {
                         if (host_.CardPresent(reader)) ReregisterLater(reader);
                       });
    return;
  }
  const std::string cardName = host_.CardName();
  std::string csp, ksp, cardModule;
  GetCardTypeProviderNames(cardName, csp, ksp, cardModule);
  const CardTypeEntry* row = FindCardTypeByCardName(cardName);
  bool pkcs11 = false;
  if (const VendorModuleEntry* vendor = FindVendorModuleByType(row)) {
    const std::string typeKey = vendor->typeKey;
    if (typeKey == "Gemalto") {
      csp = kGemaltoCsp;
      ksp.clear();
    }
    pkcs11 = IsPkcs11RegistrationType(typeKey);
  }
  const bool cardStore = (csp == kMicrosoftCsp || ksp == kMicrosoftKsp) && (!row || row->autoRegister != 0);
  PKCS11Base* token = pkcs11 ? host_.Token() : nullptr;
  const TokenObjects* objects = pkcs11 ? host_.GetTokenObjects(false) : nullptr;
  IContentsHost& host = host_;
  view_.SetCommandsEnabled(false);
  host_.RunCardTask(
      [&host, reader, csp, ksp, cardStore, token, objects] {
        host.UnregisterCertificates(reader);
        // Without the card's records (none in the reader, or unreadable) nothing of it goes
        // in: the registration without records is the card's own store, a road of its own.
        if (token && objects) host.RegisterCertificates(reader, csp, ksp, token, objects);
        if (cardStore) host.RegisterCertificates(reader, csp, ksp, nullptr, nullptr);
        // A removal seen before the registration began did not stop it (the registrar
        // stops only for one that comes during it): the card is gone, so are its
        // certificates.
        if (!host.CardPresent(reader)) host.UnregisterCertificates(reader);
      },
      [this, reader] {
        view_.SetCommandsEnabled(true);
        // A card or reader notice came while it ran: what it registered was read before, so
        // the card still there is read and registered again once the window has it.
        if (host_.HoldCard().CardLeft() && host_.CardPresent(reader)) ReregisterLater(reader);
      });
}
