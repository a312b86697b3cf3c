#include "PfxImport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>

#include "ContentsTree.h"
#include "CryptoAlgJanitor.h"
#include "SharedUtilities.h"
#include "TextFormat.h"

namespace {

using Platform::kIdYes;
using Platform::kMbIconError;
using Platform::kMbIconInformation;
using Platform::kMbIconQuestion;
using Platform::kMbIconWarning;
using Platform::kMbOk;
using Platform::kMbYesNo;
using Res::StringId;

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
struct Pkcs12Deleter {
  void operator()(PKCS12* p12) const { PKCS12_free(p12); }
};
struct SafeStackDeleter {
  void operator()(STACK_OF(PKCS7) * safes) const { sk_PKCS7_pop_free(safes, PKCS7_free); }
};
struct BagStackDeleter {
  void operator()(STACK_OF(PKCS12_SAFEBAG) * bags) const { sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free); }
};

// The key and its certificate of a file without a MAC. OpenSSL's own parser insists on a
// MAC whenever a password is given, so the bags are opened here.
bool ParseWithoutMac(PKCS12* p12, const char* password, EvpPkeyPtr& key, X509Ptr& certificate) {
  const int passwordLength = password ? -1 : 0;
  std::unique_ptr<STACK_OF(PKCS7), SafeStackDeleter> safes(PKCS12_unpack_authsafes(p12));
  if (!safes) return false;
  std::vector<X509Ptr> certificates;
  for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
    PKCS7* safe = sk_PKCS7_value(safes.get(), i);
    std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), BagStackDeleter> bags;
    const int type = OBJ_obj2nid(safe->type);
    if (type == NID_pkcs7_data)
      bags.reset(PKCS12_unpack_p7data(safe));
    else if (type == NID_pkcs7_encrypted)
      bags.reset(PKCS12_unpack_p7encdata(safe, password, passwordLength));
    if (!bags) return false;
    for (int b = 0; b < sk_PKCS12_SAFEBAG_num(bags.get()); ++b) {
      const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags.get(), b);
      switch (PKCS12_SAFEBAG_get_nid(bag)) {
        case NID_keyBag:
          if (!key) key.reset(EVP_PKCS82PKEY(PKCS12_SAFEBAG_get0_p8inf(bag)));
          if (!key) return false;
          break;
        case NID_pkcs8ShroudedKeyBag:
          if (!key) {
            PKCS8_PRIV_KEY_INFO* info = PKCS12_decrypt_skey(bag, password, passwordLength);
            if (!info) return false;
            key.reset(EVP_PKCS82PKEY(info));
            PKCS8_PRIV_KEY_INFO_free(info);
            if (!key) return false;
          }
          break;
        case NID_certBag:
          if (PKCS12_SAFEBAG_get_bag_nid(bag) == NID_x509Certificate)
            if (X509* c = PKCS12_SAFEBAG_get1_cert(bag)) certificates.emplace_back(c);
          break;
        default:
          break;
      }
    }
  }
  // As OpenSSL's parser does: the certificate is the one that belongs to the key.
  for (X509Ptr& candidate : certificates) {
    if (key && X509_check_private_key(candidate.get(), key.get()) == 1) {
      certificate = std::move(candidate);
      break;
    }
  }
  ERR_clear_error();
  return true;
}

bool Parse(PKCS12* p12, const char* password, EvpPkeyPtr& key, X509Ptr& certificate) {
  EVP_PKEY* k = nullptr;
  X509* c = nullptr;
  const bool ok = PKCS12_parse(p12, password, &k, &c, nullptr) == 1;
  key.reset(k);
  certificate.reset(c);
  ERR_clear_error();
  return ok;
}

std::vector<uint8_t> HexBytes(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  return bytes;
}

// The objects with the identifier (an import writes three); false when the card could not
// be searched.
bool FindObjectsWithId(PKCS11Base& token, const std::vector<uint8_t>& id, std::vector<CK_OBJECT_HANDLE>& found) {
  found.clear();
  CK_FUNCTION_LIST* list = token.GetFunctionList();
  if (!list || !token.HasSession() || id.empty()) return false;
  CK_ATTRIBUTE match = {CKA_ID, const_cast<uint8_t*>(id.data()), static_cast<CK_ULONG>(id.size())};
  const CK_SESSION_HANDLE session = token.GetSession();
  if (token.CallModule(list->C_FindObjectsInit, session, &match, CK_ULONG(1)) != CKR_OK) return false;
  CK_OBJECT_HANDLE handles[16];
  CK_ULONG count = 0;
  const bool ok = token.CallModule(list->C_FindObjects, session, handles, CK_ULONG(16), &count) == CKR_OK;
  if (ok) found.assign(handles, handles + std::min<CK_ULONG>(count, 16));
  token.CallModule(list->C_FindObjectsFinal, session);
  return ok;
}

enum class Removal { All, None, Some };

// Destroys every object that carries the identifier. All: the card was searched and all
// of them are gone; None: nothing was destroyed; Some: what is left cannot be told.
Removal RemoveObjectsWithId(PKCS11Base& token, const std::string& idHex) {
  std::vector<CK_OBJECT_HANDLE> found;
  if (!FindObjectsWithId(token, HexBytes(idHex), found)) return Removal::None;
  size_t destroyed = 0;
  for (CK_OBJECT_HANDLE handle : found) destroyed += token.DestroyObject(handle) ? 1 : 0;
  if (destroyed == found.size()) return Removal::All;
  // A refusal may still have destroyed it when the answer was lost with the card.
  return destroyed == 0 && token.HasSession() ? Removal::None : Removal::Some;
}

}  // namespace

KeyAndCertLabels LabelsForPrefix(const std::string& prefix) {
  return {prefix + " PRIVATE KEY", prefix + " PUBLIC KEY", prefix + " CERTIFICATE"};
}

std::optional<StringId> ExistingLabel(const TokenObjects& objects, const KeyAndCertLabels& labels) {
  for (const auto& [handle, record] : objects.privateKeys)
    if (record && record->label == labels.privateKey) return StringId::PfxPrivateKeyExists;
  for (const auto& [handle, record] : objects.publicKeys)
    if (record && record->label == labels.publicKey) return StringId::PfxPublicKeyExists;
  for (const auto& [handle, record] : objects.certificates)
    if (record && record->label == labels.certificate) return StringId::PfxCertificateExists;
  return std::nullopt;
}

std::string NewImportIdHex() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return {};
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string text;
  for (size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += FormatText("%02x", bytes[i]);
  }
  std::string hex;
  for (char c : text) hex += FormatText("%02X", static_cast<unsigned char>(c));
  return hex;
}

PfxImport::PfxImport(IContentsHost& host, IContentsView& view, IUserPort& port, IPfxImportPort& pfx,
                     ContentsCommands& commands)
    : host_(host), view_(view), port_(port), pfx_(pfx), commands_(commands) {}

void PfxImport::Install() {
  commands_.SetHandler(kCmdImportKeyAndCertificate, [this](std::optional<CK_OBJECT_HANDLE>) { Run(); });
}

int PfxImport::Box(StringId text, unsigned flags) { return port_.MessageBox(Res::Text(text), "", flags); }

void PfxImport::Run() {
  const CardHold hold = host_.HoldCard();
  PKCS11Base* token = host_.Token();
  if (token && !token->IsLoggedIn()) {
    Box(StringId::ContentsPleaseLogIn, kMbOk);
    return;
  }
  if (!host_.GetTokenObjects(false)) return;
  const std::optional<std::string> path = pfx_.ChoosePfxFile();
  if (!path) return;

  // Older files are encrypted with RC2 or 3DES: those live in the legacy provider.
  const TvrCrypto::CryptoAlgJanitor openssl;
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path->c_str(), "rb"));
  if (!file) {
    Box(StringId::PfxOpenFailed, kMbOk | kMbIconError);
    return;
  }
  std::unique_ptr<PKCS12, Pkcs12Deleter> p12(d2i_PKCS12_fp(file.get(), nullptr));
  if (!p12) {
    ERR_clear_error();
    Box(StringId::PfxParseFailed, kMbOk | kMbIconError);
    return;
  }

  EvpPkeyPtr key;
  X509Ptr certificate;
  std::optional<TvrCommon::SecureString> password;  // wiped when it goes
  bool parsed = false;
  if (PKCS12_mac_present(p12.get())) {
    const char* given = nullptr;
    if (PKCS12_verify_mac(p12.get(), nullptr, 0) == 1) {
      given = nullptr;
    } else if (PKCS12_verify_mac(p12.get(), "", 0) == 1) {
      given = "";
    } else {
      for (;;) {
        password = pfx_.AskPfxPassword(*path);
        if (!password) return;
        if (PKCS12_verify_mac(p12.get(), password->CStr(), -1) == 1) break;
        Box(StringId::PfxWrongPassword, kMbOk | kMbIconError);
      }
      given = password->CStr();
    }
    ERR_clear_error();
    parsed = Parse(p12.get(), given, key, certificate);
  } else {
    // Without a MAC no password can be verified: try the empty ones, then ask once.
    for (const char* empty : {static_cast<const char*>(nullptr), ""}) {
      key.reset();
      certificate.reset();
      if ((parsed = ParseWithoutMac(p12.get(), empty, key, certificate))) break;
    }
    if (!parsed) {
      key.reset();
      certificate.reset();
      Box(StringId::PfxNoMac, kMbOk | kMbIconWarning);
      password = pfx_.AskPfxPassword(*path);
      if (!password) return;
      parsed = ParseWithoutMac(p12.get(), password->CStr(), key, certificate);
    }
  }
  if (!parsed || !key) {
    Box(StringId::PfxParseFailed, kMbOk | kMbIconError);
    return;
  }
  const int type = EVP_PKEY_get_base_id(key.get());
  if (type != EVP_PKEY_RSA && type != EVP_PKEY_EC) {
    Box(StringId::NotImplemented, kMbOk | kMbIconError);
    return;
  }

  // The file and password dialogs are over: the labels are checked against this card.
  if (CardLeftDuringCommand(hold, port_)) return;
  const std::string prefix = certificate ? GetSubjectCommonName(certificate.get()) : std::string("UNKNOWN");
  const TokenObjects* objects = host_.GetTokenObjects(false);
  if (!objects) return;
  const std::optional<KeyAndCertLabels> labels = pfx_.AskLabels(prefix, *objects);
  if (!labels || CardLeftDuringCommand(hold, port_)) return;
  if (Box(StringId::PfxImportConfirm, kMbYesNo | kMbIconQuestion) != kIdYes) return;
  if (CardLeftDuringCommand(hold, port_)) return;
  token = host_.Token();
  if (!token) return;

  // What the card holds of each object; Maybe when a lost answer or a half-done
  // roll-back leaves it open.
  enum class Held { No, Yes, Maybe };
  struct Written {
    Held privateKey = Held::No, publicKey = Held::No, certificate = Held::No;
  };
  auto written = std::make_shared<Written>();
  auto pair = std::make_shared<std::pair<EvpPkeyPtr, X509Ptr>>(std::move(key), std::move(certificate));
  CommandTaskBegins(view_);
  host_.RunCardTask(
      [token, pair, labels = *labels, written] {
        EVP_PKEY* key = pair->first.get();
        X509* certificate = pair->second.get();
        Written& w = *written;
        // A refusal with the card (or session) gone may have been written all the same.
        const auto held = [token](bool done) {
          return done ? Held::Yes : token->HasSession() ? Held::No : Held::Maybe;
        };
        const std::string id = NewImportIdHex();
        w.privateKey = held(token->CreatePrivateKey(&id, &labels.privateKey, key));
        if (w.privateKey == Held::Yes) w.publicKey = held(token->CreatePublicKey(&id, &labels.publicKey, key));
        if (w.publicKey == Held::Yes && certificate)
          w.certificate = held(token->CreateCertificate(&id, &labels.certificate, 0, certificate));
        // A write that failed half-way takes back what this import wrote (the identifier is
        // new, so every object carrying it is ours): a retry with the same labels then works.
        const bool complete = w.publicKey == Held::Yes && (!certificate || w.certificate == Held::Yes);
        if (id.empty() || complete) return;
        switch (RemoveObjectsWithId(*token, id)) {
          case Removal::All: w = Written{}; break;
          case Removal::None: break;
          case Removal::Some:
            for (Held* object : {&w.privateKey, &w.publicKey, &w.certificate})
              if (*object == Held::Yes) *object = Held::Maybe;
            break;
        }
      },
      [this, written] {
        CommandTaskEnds(view_);
        const Written& w = *written;
        const auto word = [](Held held) {
          return Res::Text(held == Held::Yes  ? StringId::YesWord
                           : held == Held::No ? StringId::NoWord
                                              : StringId::PfxMaybeWord);
        };
        std::string result =
            FormatText(Res::Text(StringId::PfxResultPrivateKey), word(w.privateKey).c_str()) + "\n" +
            FormatText(Res::Text(StringId::PfxResultPublicKey), word(w.publicKey).c_str()) + "\n" +
            FormatText(Res::Text(StringId::PfxResultCertificate), word(w.certificate).c_str());
        if (w.privateKey == Held::Maybe || w.publicKey == Held::Maybe || w.certificate == Held::Maybe)
          result += "\n\n" + Res::Text(StringId::PfxResultReread);
        const bool all = w.privateKey == Held::Yes && w.publicKey == Held::Yes && w.certificate == Held::Yes;
        port_.MessageBox(result, "", kMbOk | (all ? kMbIconInformation : kMbIconError));
        RereadCardIntoTree(host_, view_, [this] { commands_.ReregisterCertificates(); });
      });
}
