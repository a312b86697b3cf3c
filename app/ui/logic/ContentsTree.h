// The contents tree of a token without widgets: which items it has, their texts and
// images, their tooltips, and which commands of each item's menu are greyed.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "TokenInfo.h"
#include "TokenObjects.h"

enum class TreeImage {
  Card = 0,
  Certificate = 1,
  PublicKey = 2,
  PrivateKey = 3,
  ExpiredCertificate = 4,
  ExpiringCertificate = 5,
  EncryptedData = 6,
};

bool IsCertificateImage(TreeImage image);

struct TreeItem {
  std::string text;
  TreeImage image = TreeImage::Card;
  CK_OBJECT_HANDLE handle = 0;  // the object's handle; 0 for the root
  bool expanded = false;
  std::vector<TreeItem> children;
};

struct TreeOptions {
  bool showKeys = false;
  bool showKeysWithoutCertificate = false;
};

// "ShowKeys" and "ShowKeysWithoutCertificate" of the profile, read now.
TreeOptions ReadTreeOptions();

// The image of a certificate at `now`: expired strictly after notAfter, expiring when
// notAfter comes within 14 days; an undecodable value is a plain certificate.
TreeImage CertificateImage(const CertificateObject& record, std::time_t now);

// The root with everything under it; nothing when there is nothing to show (no
// information or objects, or an empty label and no objects).
std::optional<TreeItem> BuildContentsTree(const TokenInfo* info, const TokenObjects* objects,
                                          const TreeOptions& options, std::time_t now);

// "Címke: <label>" and, for an expired or expiring certificate, its warning line (lines
// end in CR LF); empty for the root or an unknown handle.
std::string ContentsTooltip(const TokenObjects* objects, TreeImage image, CK_OBJECT_HANDLE handle);

// A certificate issued with the card (its label or CKA_ID is one of the card's own).
bool IsCardIssuedCertificate(const CertificateObject& record);

// Menu commands, by their resource numbers.
enum ContentsCommand : int {
  kCmdRenewCertificate = 32774,
  kCmdViewCertificate = 32775,
  kCmdRegisterCertificate = 32778,
  kCmdAssignCertificate = 32786,
  kCmdImportKeyAndCertificate = 32793,
  kCmdDeleteCertificate = 32794,
  kCmdCreateEncryptedData = 32797,
  kCmdViewEditEncryptedData = 32800,
  kCmdDeleteEncryptedData = 32801,
  kCmdRenewCertificates = 32802,
  kCmdCopyCertificatesToFolder = 32803,
};

struct MenuEntry {
  int command = 0;
  std::string text;
  bool enabled = true;
};

struct ItemMenu {
  int menu = 0;  // 158 card, 137 certificate, 141 public key, 167 encrypted data
  std::vector<MenuEntry> entries;
};

// The context menu of an item with its greyed commands; nothing for a private key.
// `parentImage` is the image of the item's parent (nothing when it has none or it
// cannot be read); `allowDeleteNotImported` the profile's
// "AllowDeleteNotImportedCertificates".
std::optional<ItemMenu> ContextMenuFor(TreeImage image, CK_OBJECT_HANDLE handle, const TokenInfo& info,
                                       const TokenObjects& objects, std::optional<TreeImage> parentImage,
                                       uint32_t allowDeleteNotImported);
// The same, reading "AllowDeleteNotImportedCertificates" from the profile now.
std::optional<ItemMenu> ContextMenuFor(TreeImage image, CK_OBJECT_HANDLE handle, const TokenInfo& info,
                                       const TokenObjects& objects, std::optional<TreeImage> parentImage);

// What a double click does on an item of this image.
enum class DoubleClickAction { None, ViewCertificate, EditEncryptedData };
DoubleClickAction DoubleClickActionFor(TreeImage image);
