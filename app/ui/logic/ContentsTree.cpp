#include "ContentsTree.h"

#include <set>

#include <openssl/asn1.h>

#include "CertificateTexts.h"
#include "SharedUtilities.h"
#include "Strings.h"
#include "TextFormat.h"

namespace {

using Res::StringId;

constexpr const char* kEncryptedDataApplication = "Encrypted Data";
constexpr std::time_t kExpiringWindow = 14 * 24 * 3600;

const char* const kCardIssuedKeyLabels[] = {
    "KP_CH_KE",    "KP_CH_AUT",    "KP_CH_AUT2",    "KP_CH_DS",    "KP_CH_DS2",
    "EC_KP_CH_KE", "EC_KP_CH_AUT", "EC_KP_CH_AUT2", "EC_KP_CH_DS", "EC_KP_CH_DS2",
};
const char* const kCardIssuedKeyIds[] = {
    "445330",       "445331",       "445332",       "445333",       "445334",       "445335",
    "45435f445330", "45435f445331", "45435f445332", "45435f445333", "45435f445334", "45435f445335",
};

std::string PublicKeyText(const PublicKeyObject& key) {
  const int bits = key.publicKey ? EVP_PKEY_bits(key.publicKey.get()) : 0;
  return Res::Text(StringId::ContentsPublicKey) + " - " + Res::Text(StringId::ContentsKeyLength) + ": " +
         FormatText(Res::Text(StringId::ContentsBits), bits);
}

std::string PrivateKeyText(const PrivateKeyObject& key) {
  return Res::Text(StringId::ContentsPrivateKey) + " - " + Res::Text(StringId::ContentsExportable) +
         FormatText(": %s", Res::Text(key.extractable ? StringId::YesWord : StringId::NoWord).c_str());
}

TreeItem Item(std::string text, TreeImage image, CK_OBJECT_HANDLE handle) {
  TreeItem item;
  item.text = std::move(text);
  item.image = image;
  item.handle = handle;
  return item;
}

// The key's own identifier, when it has one, equals this text.
bool HasId(const TokenObject& record, const std::string& id) { return record.id && *record.id == id; }

}  // namespace

bool IsCertificateImage(TreeImage image) {
  return image == TreeImage::Certificate || image == TreeImage::ExpiredCertificate ||
         image == TreeImage::ExpiringCertificate;
}

TreeOptions ReadTreeOptions() {
  const Platform::Profile profile;
  TreeOptions options;
  options.showKeys = RegQueryDword(profile, "", "ShowKeys") != 0;
  options.showKeysWithoutCertificate = RegQueryDword(profile, "", "ShowKeysWithoutCertificate") != 0;
  return options;
}

TreeImage CertificateImage(const CertificateObject& record, std::time_t now) {
  if (!record.certificate) return TreeImage::Certificate;
  const ASN1_TIME* notAfter = X509_get0_notAfter(record.certificate.get());
  std::tm end{};
  if (!notAfter || !ASN1_TIME_to_tm(notAfter, &end)) return TreeImage::Certificate;
  const std::time_t last = timegm(&end);
  // Valid up to and including notAfter itself.
  if (now > last) return TreeImage::ExpiredCertificate;
  if (now + kExpiringWindow > last) return TreeImage::ExpiringCertificate;
  return TreeImage::Certificate;
}

std::optional<TreeItem> BuildContentsTree(const TokenInfo* info, const TokenObjects* objects,
                                          const TreeOptions& options, std::time_t now) {
  if (!info || !objects) return std::nullopt;
  if (info->label.empty() && objects->certificates.empty() && objects->publicKeys.empty() &&
      objects->privateKeys.empty() && objects->dataObjects.empty())
    return std::nullopt;

  TreeItem root = Item(FormatText(Res::Text(StringId::ContentsCardRoot), Utf8ToCString(info->serialNumber).c_str()),
                       TreeImage::Card, 0);
  std::set<CK_OBJECT_HANDLE> publicShown, privateShown;

  for (const auto& [handle, certificate] : objects->certificates) {
    TreeItem item = Item(GetCertificateDisplayName(certificate->certificate.get(), false),
                         CertificateImage(*certificate, now), handle);
    if (options.showKeys) {
      if (certificate->publicKey) {
        for (const auto& [keyHandle, key] : objects->publicKeys) {
          if (!key->publicKey || EVP_PKEY_eq(key->publicKey.get(), certificate->publicKey.get()) != 1) continue;
          item.children.push_back(Item(PublicKeyText(*key), TreeImage::PublicKey, keyHandle));
          publicShown.insert(keyHandle);
        }
      }
      const std::string id = certificate->GetId();
      for (const auto& [keyHandle, key] : objects->privateKeys) {
        if (!HasId(*key, id)) continue;
        item.children.push_back(Item(PrivateKeyText(*key), TreeImage::PrivateKey, keyHandle));
        privateShown.insert(keyHandle);
      }
      item.expanded = !item.children.empty();
    }
    root.children.push_back(std::move(item));
  }

  if (options.showKeys && options.showKeysWithoutCertificate) {
    for (const auto& [handle, key] : objects->publicKeys) {
      if (publicShown.count(handle)) continue;
      root.children.push_back(Item(PublicKeyText(*key), TreeImage::PublicKey, handle));
      publicShown.insert(handle);
      const std::string id = key->GetId();
      for (const auto& [privateHandle, privateKey] : objects->privateKeys) {
        if (!HasId(*privateKey, id)) continue;
        root.children.push_back(Item(PrivateKeyText(*privateKey), TreeImage::PrivateKey, privateHandle));
        privateShown.insert(privateHandle);
      }
    }
    for (const auto& [handle, key] : objects->privateKeys) {
      if (privateShown.count(handle)) continue;
      root.children.push_back(Item(PrivateKeyText(*key), TreeImage::PrivateKey, handle));
    }
  }

  for (const auto& [handle, data] : objects->dataObjects) {
    if (data->application != kEncryptedDataApplication) continue;
    root.children.push_back(Item(Res::Text(StringId::ContentsEncryptedData), TreeImage::EncryptedData, handle));
  }
  root.expanded = !root.children.empty();
  return root;
}

std::string ContentsTooltip(const TokenObjects* objects, TreeImage image, CK_OBJECT_HANDLE handle) {
  if (!objects) return {};
  const TokenObject* record = nullptr;
  if (IsCertificateImage(image)) record = objects->FindCertificate(handle);
  else if (image == TreeImage::PublicKey) record = objects->FindPublicKey(handle);
  else if (image == TreeImage::PrivateKey) record = objects->FindPrivateKey(handle);
  else if (image == TreeImage::EncryptedData) record = objects->FindDataObject(handle);
  if (!record) return {};
  std::string text = Res::Text(StringId::ContentsLabel) + FormatText(": %s", Utf8ToCString(record->label).c_str());
  if (image == TreeImage::ExpiredCertificate)
    text += "\r\n" + Res::Text(StringId::ContentsCertificateExpired);
  else if (image == TreeImage::ExpiringCertificate)
    text += "\r\n" + Res::Text(StringId::ContentsCertificateExpiring);
  return text;
}

bool IsCardIssuedCertificate(const CertificateObject& record) {
  for (const char* label : kCardIssuedKeyLabels)
    if (record.label == label) return true;
  if (!record.id) return false;
  for (const char* id : kCardIssuedKeyIds)
    if (*record.id == id) return true;
  return false;
}

std::optional<ItemMenu> ContextMenuFor(TreeImage image, CK_OBJECT_HANDLE handle, const TokenInfo& info,
                                       const TokenObjects& objects, std::optional<TreeImage> parentImage,
                                       uint32_t allowDeleteNotImported) {
  const bool pin = info.userPinInitialized;
  auto entry = [](int command, StringId text, bool enabled) { return MenuEntry{command, Res::Text(text), enabled}; };
  if (image == TreeImage::Card) {
    return ItemMenu{158,
                    {entry(kCmdRenewCertificates, StringId::MenuRenewCertificates, true),
                     entry(kCmdCopyCertificatesToFolder, StringId::MenuCopyCertificatesToFolder, true),
                     entry(kCmdImportKeyAndCertificate, StringId::MenuImportKeyAndCertificate, pin),
                     entry(kCmdCreateEncryptedData, StringId::MenuCreateEncryptedData, pin)}};
  }
  if (IsCertificateImage(image)) {
    bool canDelete = pin;
    if (pin) {
      const CertificateObject* record = objects.FindCertificate(handle);
      if (record && IsCardIssuedCertificate(*record) && allowDeleteNotImported != 1) canDelete = false;
    }
    return ItemMenu{137,
                    {entry(kCmdViewCertificate, StringId::MenuViewCertificate, true),
                     entry(kCmdRenewCertificate, StringId::MenuRenewCertificate, pin),
                     entry(kCmdRegisterCertificate, StringId::MenuRegisterCertificate, pin),
                     entry(kCmdDeleteCertificate, StringId::MenuDeleteCertificate, canDelete)}};
  }
  if (image == TreeImage::PublicKey) {
    const bool topLevel = parentImage && *parentImage == TreeImage::Card;
    return ItemMenu{141, {entry(kCmdAssignCertificate, StringId::MenuAssignCertificate, pin && topLevel)}};
  }
  if (image == TreeImage::EncryptedData) {
    return ItemMenu{167,
                    {entry(kCmdViewEditEncryptedData, StringId::MenuViewEditEncryptedData, true),
                     entry(kCmdDeleteEncryptedData, StringId::MenuDeleteEncryptedData, pin)}};
  }
  return std::nullopt;
}

std::optional<ItemMenu> ContextMenuFor(TreeImage image, CK_OBJECT_HANDLE handle, const TokenInfo& info,
                                       const TokenObjects& objects, std::optional<TreeImage> parentImage) {
  return ContextMenuFor(image, handle, info, objects, parentImage,
                        RegQueryDword(Platform::Profile(), "", "AllowDeleteNotImportedCertificates"));
}

DoubleClickAction DoubleClickActionFor(TreeImage image) {
  if (IsCertificateImage(image)) return DoubleClickAction::ViewCertificate;
  if (image == TreeImage::EncryptedData) return DoubleClickAction::EditEncryptedData;
  return DoubleClickAction::None;
}
