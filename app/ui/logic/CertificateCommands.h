// The commands of the contents page: viewing, renewing, registering, assigning and
// deleting one certificate, copying all of them into a folder, re-registering the card's
// certificates after a change, and the table that joins each menu command to its handler.
// Every command holds the card while it runs and reads the host's token object and cached
// objects under that hold.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ContentsHost.h"
#include "TokenObjects.h"
#include "Strings.h"
#include "UserPort.h"

// The text with every "-----BEGIN CERTIFICATE-----" and "-----END CERTIFICATE-----",
// then every CR and LF, removed.
std::string StripPemCertificateArmor(std::string text);
// Standard Base64 of one line; empty when nothing decodes.
std::vector<uint8_t> Base64DecodeString(const std::string& text);
// One certificate from a file's bytes: DER when it starts with 0x30, else (or when that
// fails) the Base64 of the first armoured block (of the whole text without armour);
// null when neither gives a certificate.
X509Ptr DecodeCertificateFile(const std::vector<uint8_t>& bytes);

// A file name that stays inside its folder: no separators or NUL, no leading dot, at
// most NAME_MAX bytes (cut at a character boundary, keeping the extension).
std::string SafeFileName(const std::string& name, const std::string& extension);

// After a dialog or a box: true, once the user has been told, when the card the hold was
// taken on left or was replaced meanwhile; the command then stops without a card call.
bool CardLeftDuringCommand(const CardHold& hold, IUserPort& port);

class ContentsCommands {
 public:
  using Handler = std::function<void(std::optional<CK_OBJECT_HANDLE> caret)>;

  ContentsCommands(IContentsHost& host, IContentsView& view, IUserPort& port);

  // Runs a menu command on the caret item (nothing when no item is selected).
  void Run(int command, std::optional<CK_OBJECT_HANDLE> caret);
  // A handler for a command that is built elsewhere (PFX import, encrypted data,
  // renewal of all certificates); commands without one do nothing.
  void SetHandler(int command, Handler handler);

  void ViewCertificate(std::optional<CK_OBJECT_HANDLE> caret);
  void RenewCertificate(std::optional<CK_OBJECT_HANDLE> caret);
  void RegisterCertificate(std::optional<CK_OBJECT_HANDLE> caret);
  void AssignCertificate(std::optional<CK_OBJECT_HANDLE> caret);
  void DeleteCertificate(std::optional<CK_OBJECT_HANDLE> caret);
  void CopyCertificatesToFolder();
  // Takes the reader's certificates out of the personal store and registers the card's
  // current ones again, by the card type's providers. After every command that wrote to
  // the card, whatever happened meanwhile: when the card changed or left under the
  // command, this waits until the window has the reader's card again.
  void ReregisterCertificates();

 private:
  int Box(Res::StringId text, unsigned flags);
  // The chosen file's certificate; null after telling the user why (or after a cancel).
  std::optional<X509Ptr> ReadCertificateFile(Res::StringId failure);

  void ReregisterCertificates(const std::string& reader);
  void ReregisterLater(const std::string& reader);

  IContentsHost& host_;
  IContentsView& view_;
  IUserPort& port_;
  std::map<int, Handler> handlers_;
  // A re-registration that waits for the card ends with these commands.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};
