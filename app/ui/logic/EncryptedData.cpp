#include "EncryptedData.h"

#include <memory>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include "CardKeys.h"
#include "CardReplace.h"
#include "ContentsTree.h"
#include "Strings.h"

namespace {

using Platform::kMbIconError;
using Platform::kMbIconWarning;
using Platform::kMbOk;
using Platform::kMbYesNo;
using Platform::kIdYes;
using Res::StringId;

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
struct X509StackDeleter {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }  // the certificates stay
};

std::string Normalised(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Replaces the entries of `target` with those of `source`, in place: the recipient info
// owns its name and offers no setter.
bool CopyNameInto(X509_NAME* target, const X509_NAME* source) {
  while (X509_NAME_entry_count(target) > 0) X509_NAME_ENTRY_free(X509_NAME_delete_entry(target, 0));
  int previousSet = -1;
  for (int i = 0; i < X509_NAME_entry_count(source); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(source, i);
    const int set = X509_NAME_ENTRY_set(entry);
    // -1 joins the previous RDN, keeping multi-valued RDNs as they were.
    if (!X509_NAME_add_entry(target, entry, -1, i > 0 && set == previousSet ? -1 : 0)) return false;
    previousSet = set;
  }
  return true;
}

}  // namespace

bool CmsEncryptForCertificates(X509* recipient, const uint8_t* data, int length, std::vector<uint8_t>& der) {
  der.clear();
  if (!recipient || !data || length < 0) return false;
  std::unique_ptr<STACK_OF(X509), X509StackDeleter> stack(sk_X509_new_null());
  BioPtr source(BIO_new_mem_buf(data, length));
  if (!stack || !source || !sk_X509_push(stack.get(), recipient)) return false;
  CmsPtr cms(CMS_encrypt(stack.get(), source.get(), EVP_des_ede3_cbc(), CMS_USE_KEYID));
  if (!cms) return false;
  const int size = i2d_CMS_ContentInfo(cms.get(), nullptr);
  if (size < 1) return false;
  der.resize(static_cast<size_t>(size));
  unsigned char* out = der.data();
  if (i2d_CMS_ContentInfo(cms.get(), &out) != size) {
    der.clear();
    return false;
  }
  return true;
}

bool IsCmsRecipient(CMS_ContentInfo* cms, X509* certificate) {
  if (!cms || !certificate) return false;
  STACK_OF(CMS_RecipientInfo)* infos = CMS_get0_RecipientInfos(cms);
  if (!infos) return false;
  for (int i = 0; i < sk_CMS_RecipientInfo_num(infos); ++i) {
    CMS_RecipientInfo* info = sk_CMS_RecipientInfo_value(infos, i);
    switch (CMS_RecipientInfo_type(info)) {
      case CMS_RECIPINFO_TRANS:
        if (CMS_RecipientInfo_ktri_cert_cmp(info, certificate) == 0) return true;
        break;
      case CMS_RECIPINFO_AGREE: {
        // The recipient's own key identifier, not the originator's.
        STACK_OF(CMS_RecipientEncryptedKey)* keys = CMS_RecipientInfo_kari_get0_reks(info);
        for (int k = 0; keys && k < sk_CMS_RecipientEncryptedKey_num(keys); ++k)
          if (CMS_RecipientEncryptedKey_cert_cmp(sk_CMS_RecipientEncryptedKey_value(keys, k), certificate) == 0)
            return true;
        break;
      }
      default:
        break;
    }
  }
  ERR_clear_error();
  return false;
}

bool SetCmsRecipientIssuerSerial(CMS_ContentInfo* cms, X509* certificate) {
  if (!cms || !certificate) return false;
  STACK_OF(CMS_RecipientInfo)* infos = CMS_get0_RecipientInfos(cms);
  if (!infos) return false;
  for (int i = 0; i < sk_CMS_RecipientInfo_num(infos); ++i) {
    CMS_RecipientInfo* info = sk_CMS_RecipientInfo_value(infos, i);
    if (CMS_RecipientInfo_type(info) != CMS_RECIPINFO_TRANS) continue;
    ASN1_OCTET_STRING* keyId = nullptr;
    X509_NAME* issuer = nullptr;
    ASN1_INTEGER* serial = nullptr;
    if (!CMS_RecipientInfo_ktri_get0_signer_id(info, &keyId, &issuer, &serial) || !issuer || !serial) continue;
    if (!CopyNameInto(issuer, X509_get_issuer_name(certificate)) ||
        !ASN1_STRING_copy(serial, X509_get0_serialNumber(certificate)))
      return false;
  }
  return true;
}

bool CmsDecryptWithCardKey(CMS_ContentInfo* cms, EVP_PKEY* key, X509* certificate, std::vector<uint8_t>& plain) {
  plain.clear();
  BioPtr sink(BIO_new(BIO_s_mem()));
  if (!cms || !key || !sink) return false;
  // Without the debug flag OpenSSL hides a failed key decryption behind a random content
  // key and may then report garbage as success.
  const bool ok = CMS_decrypt(cms, key, certificate, nullptr, sink.get(), CMS_DEBUG_DECRYPT) == 1;
  char* bytes = nullptr;
  const long length = BIO_get_mem_data(sink.get(), &bytes);
  if (ok && length > 0) plain.assign(bytes, bytes + length);
  ERR_clear_error();
  return ok && !plain.empty();
}

std::vector<const CertificateObject*> EncryptionCertificates(const TokenObjects& objects) {
  std::vector<const CertificateObject*> offered;
  constexpr uint32_t kAllowed = KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT;
  for (const auto& [handle, record] : objects.certificates) {
    if (!record || !record->certificate) continue;
    X509* certificate = record->certificate.get();
    X509_check_purpose(certificate, -1, 0);
    if (!(X509_get_extension_flags(certificate) & EXFLAG_KUSAGE)) continue;
    const uint32_t usage = X509_get_key_usage(certificate);
    if (usage != 0 && (usage & ~kAllowed) == 0) offered.push_back(record.get());
  }
  return offered;
}

bool SameTextIgnoringLineEnds(const std::string& a, const std::string& b) { return Normalised(a) == Normalised(b); }

bool IsValidUtf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    size_t extra = 0;
    uint32_t value = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      value = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      value = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      value = (value << 6) | (p[i + k] & 0x3F);
    }
    if ((extra == 2 && value < 0x800) || (extra == 3 && value < 0x10000) || value > 0x10FFFF ||
        (value >= 0xD800 && value <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}

EncryptedDataCommands::EncryptedDataCommands(IContentsHost& host, IContentsView& view, IUserPort& port,
                                             IEncryptedDataPort& data)
    : host_(host), view_(view), port_(port), data_(data) {}

void EncryptedDataCommands::Install(ContentsCommands& commands) {
  commands.SetHandler(kCmdCreateEncryptedData, [this](std::optional<CK_OBJECT_HANDLE>) { Create(); });
  commands.SetHandler(kCmdViewEditEncryptedData, [this](std::optional<CK_OBJECT_HANDLE> item) { Edit(item); });
  commands.SetHandler(kCmdDeleteEncryptedData, [this](std::optional<CK_OBJECT_HANDLE> item) { Delete(item); });
}

int EncryptedDataCommands::Box(StringId text, unsigned flags) { return port_.MessageBox(Res::Text(text), "", flags); }

const CertificateObject* EncryptedDataCommands::SelectEncryptionCertificate(const TokenObjects& objects) {
  const std::optional<std::string> thumbprint = data_.ChooseEncryptionCertificate(EncryptionCertificates(objects));
  if (!thumbprint || thumbprint->empty()) return nullptr;
  for (const auto& [handle, record] : objects.certificates)
    if (record && record->GetThumbprint() == *thumbprint) return record.get();
  return nullptr;
}

void EncryptedDataCommands::Create() {
  const CardHold hold = host_.HoldCard();
  PKCS11Base* token = host_.Token();
  TokenObjects* objects = token ? host_.GetTokenObjects(false) : nullptr;
  if (!objects) {
    Box(StringId::EncDataCreateFailed, kMbOk | kMbIconError);
    return;
  }
  if (!token->IsLoggedIn()) {
    Box(StringId::ContentsPleaseLogIn, kMbOk);
    return;
  }
  const CertificateObject* recipient = SelectEncryptionCertificate(*objects);
  if (CardLeftDuringCommand(hold, port_)) return;
  if (!recipient) {
    Box(StringId::EncDataNoCertificate, kMbOk | kMbIconError);
    return;
  }
  const std::optional<EncryptedDataText> entered = data_.EditEncryptedData(false, "", "");
  if (!entered || CardLeftDuringCommand(hold, port_)) return;
  for (const auto& [handle, record] : objects->dataObjects) {
    if (record && record->label == entered->label) {
      Box(StringId::EncDataObjectExists, kMbOk | kMbIconError);
      return;
    }
  }
  std::vector<uint8_t> der;
  if (!CmsEncryptForCertificates(recipient->certificate.get(), reinterpret_cast<const uint8_t*>(entered->text.data()),
                                 static_cast<int>(entered->text.size()), der)) {
    Box(StringId::EncDataCreateFailed, kMbOk | kMbIconError);
    return;
  }
  auto value = std::make_shared<std::vector<uint8_t>>(std::move(der));
  auto created = std::make_shared<bool>(false);
  const std::string label = entered->label;
  CommandTaskBegins(view_);
  host_.RunCardTask(
      [token, label, value, created] {
        const std::string application = kEncryptedDataApplication;
        *created = token->CreateDataObject(false, &label, &application, value->data(),
                                           static_cast<uint32_t>(value->size()));
      },
      [this, created] {
        CommandTaskEnds(view_);
        if (!*created) Box(StringId::EncDataCreateFailed, kMbOk | kMbIconError);
        RereadCardIntoTree(host_, view_);
      });
}

// What the edit carries from the card task that opens the text to the one that writes it.
struct EncryptedDataCommands::Opened {
  CmsPtr cms;
  CardKeyRef ref{};
  X509* certificate = nullptr;  // in the host's cache, kept by the hold
  bool rewrite = false;
  bool decrypted = false;
  std::vector<uint8_t> plain;
  std::string label, application;
};

void EncryptedDataCommands::Edit(std::optional<CK_OBJECT_HANDLE> item) {
  if (!item) return;
  auto hold = std::make_shared<CardHold>(host_.HoldCard());
  PKCS11Base* token = host_.Token();
  if (!token) {
    Box(StringId::EncDataDecodeFailed, kMbOk | kMbIconError);
    return;
  }
  if (!token->IsLoggedIn()) {
    Box(StringId::ContentsPleaseLogIn, kMbOk);
    return;
  }
  TokenObjects* objects = host_.GetTokenObjects(false);
  const DataObject* found = objects ? objects->FindDataObject(*item) : nullptr;
  if (!found || found->application != kEncryptedDataApplication) {
    Box(StringId::EncDataDecodeFailed, kMbOk | kMbIconError);
    return;
  }
  auto opened = std::make_shared<Opened>();
  // The cache is read again after the write: keep copies of what is written again.
  opened->label = found->label;
  opened->application = found->application;
  const std::vector<uint8_t> oldValue = found->value;

  const unsigned char* p = oldValue.data();
  opened->cms.reset(oldValue.empty() ? nullptr : d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(oldValue.size())));
  if (!opened->cms) {
    ERR_clear_error();
    Box(StringId::EncDataDecodeFailed, kMbOk | kMbIconError);
    return;
  }
  const CertificateObject* recipient = nullptr;
  for (const auto& [handle, record] : objects->certificates) {
    if (record && record->certificate && IsCmsRecipient(opened->cms.get(), record->certificate.get())) {
      recipient = record.get();
      break;
    }
  }
  if (!recipient) {
    recipient = SelectEncryptionCertificate(*objects);
    if (CardLeftDuringCommand(*hold, port_)) return;
    if (!recipient) {
      Box(StringId::EncDataNoCertificate, kMbOk | kMbIconError);
      return;
    }
    if (!SetCmsRecipientIssuerSerial(opened->cms.get(), recipient->certificate.get())) {
      Box(StringId::EncDataDecodeFailed, kMbOk | kMbIconError);
      return;
    }
    opened->rewrite = true;
  }
  opened->certificate = recipient->certificate.get();
  opened->ref = CardKeyRef{token, FindObjectHandleById(objects->privateKeys, recipient->GetId()), nullptr};
  if (!recipient->id) opened->ref.keyHandle = 0;
  // The card's key opens the text on a card task.
  CommandTaskBegins(view_);
  host_.RunCardTask(
      [opened] {
        EvpPkeyPtr key(WrapCardKeyForCertificate(opened->certificate, &opened->ref));
        if (key) opened->decrypted = CmsDecryptWithCardKey(opened->cms.get(), key.get(), opened->certificate, opened->plain);
      },
      [this, hold, opened, token, item = *item] {
        CommandTaskEnds(view_);
        WriteEdited(hold, opened, token, item);
      });
}

void EncryptedDataCommands::WriteEdited(const std::shared_ptr<CardHold>& hold, const std::shared_ptr<Opened>& opened,
                                        PKCS11Base* token, CK_OBJECT_HANDLE item) {
  const std::string oldText(opened->plain.begin(), opened->plain.end());
  // Content that is not UTF-8 was not decoded: it is neither shown nor ever written back.
  if (!opened->decrypted || !IsValidUtf8(oldText)) {
    Box(StringId::EncDataDecodeFailed, kMbOk | kMbIconError);
    return;
  }
  const std::optional<EncryptedDataText> edited = data_.EditEncryptedData(true, opened->label, oldText);
  if (!edited || CardLeftDuringCommand(*hold, port_)) return;
  // The editor gives LF where the stored text has CR LF; the encryption writes CR LF anyway.
  if (!opened->rewrite && SameTextIgnoringLineEnds(edited->text, oldText)) return;

  auto der = std::make_shared<std::vector<uint8_t>>();
  if (!CmsEncryptForCertificates(opened->certificate, reinterpret_cast<const uint8_t*>(edited->text.data()),
                                 static_cast<int>(edited->text.size()), *der)) {
    Box(StringId::EncDataCreateFailed, kMbOk | kMbIconError);
    return;
  }
  auto result = std::make_shared<ReplaceResult>(ReplaceResult::NotCreated);
  CommandTaskBegins(view_);
  host_.RunCardTask(
      [token, item, der, result, label = opened->label, application = opened->application] {
        // The new object goes on first: whatever fails, the text stays on the card.
        *result = ReplaceOnCard(*token, item, [&] {
          return token->CreateDataObject(false, &label, &application, der->data(), static_cast<uint32_t>(der->size()));
        });
      },
      [this, result] {
        CommandTaskEnds(view_);
        switch (*result) {
          case ReplaceResult::Replaced: break;
          case ReplaceResult::NotCreated: Box(StringId::EncDataCreateFailed, kMbOk | kMbIconError); break;
          case ReplaceResult::BothKept: Box(StringId::EncDataBothKept, kMbOk | kMbIconError); break;
          case ReplaceResult::OldLost: Box(StringId::EncDataOldLost, kMbOk | kMbIconError); break;
          case ReplaceResult::OldRestored: Box(StringId::EncDataCreateFailed, kMbOk | kMbIconError); break;
        }
        RereadCardIntoTree(host_, view_);
      });
}

void EncryptedDataCommands::Delete(std::optional<CK_OBJECT_HANDLE> item) {
  if (!item) return;
  const CardHold hold = host_.HoldCard();
  PKCS11Base* token = host_.Token();
  if (!token) {
    Box(StringId::EncDataDeleteFailed, kMbOk | kMbIconError);
    return;
  }
  if (!token->IsLoggedIn()) {
    Box(StringId::ContentsPleaseLogIn, kMbOk);
    return;
  }
  if (Box(StringId::DeleteConfirm, kMbYesNo | kMbIconWarning) != kIdYes) return;
  if (CardLeftDuringCommand(hold, port_)) return;
  TokenObjects* objects = host_.GetTokenObjects(false);
  // Only an encrypted data object of the cache is destroyed, never whatever a stale
  // handle names.
  const DataObject* found = objects ? objects->FindDataObject(*item) : nullptr;
  if (!found || found->application != kEncryptedDataApplication) return;
  auto destroyed = std::make_shared<bool>(false);
  CommandTaskBegins(view_);
  host_.RunCardTask([token, item = *item, destroyed] { *destroyed = token->DestroyObject(item); },
                    [this, destroyed] {
                      CommandTaskEnds(view_);
                      if (!*destroyed) Box(StringId::EncDataDeleteFailed, kMbOk | kMbIconError);
                      RereadCardIntoTree(host_, view_);
                    });
}
