// Short secret texts kept on the token as "Encrypted Data" data objects: the value is CMS
// enveloped data for one of the card's encryption certificates, opened by the card's own
// key. The CMS functions, the choice of certificate and the three commands of the
// contents page (create, open and edit, delete).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <openssl/cms.h>

#include "CertificateCommands.h"
#include "ContentsHost.h"
#include "TokenObjects.h"
#include "UserPort.h"

// CKA_APPLICATION of the objects (14 bytes, no terminator).
inline constexpr const char* kEncryptedDataApplication = "Encrypted Data";

struct CmsDeleter {
  void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsDeleter>;

// Enveloped data for the one certificate: DES-EDE3-CBC, the recipient named by its subject
// key identifier, the content in text mode (line ends become CR LF). DER into `der`.
bool CmsEncryptForCertificates(X509* recipient, const uint8_t* data, int length, std::vector<uint8_t>& der);
// True when a recipient of the enveloped data is the certificate: a key-transport
// recipient by issuer and serial or by subject key identifier, a key-agreement recipient
// by its own recipient key identifier (issuer and serial, or subject key identifier).
bool IsCmsRecipient(CMS_ContentInfo* cms, X509* certificate);
// Makes every key-transport recipient named by issuer and serial name the certificate.
bool SetCmsRecipientIssuerSerial(CMS_ContentInfo* cms, X509* certificate);
// Decrypts with the (card) key for the certificate; false also when nothing came out.
// Runs with OpenSSL's decryption errors reported: a wrong key must never pass as success.
bool CmsDecryptWithCardKey(CMS_ContentInfo* cms, EVP_PKEY* key, X509* certificate, std::vector<uint8_t>& plain);

// The certificates offered for encryption: key usage present and limited to
// keyEncipherment and dataEncipherment; in handle order.
std::vector<const CertificateObject*> EncryptionCertificates(const TokenObjects& objects);
// True when both texts are the same once CR LF and lone CR are taken as LF.
bool SameTextIgnoringLineEnds(const std::string& a, const std::string& b);
// True when the bytes are well-formed UTF-8 (no overlongs, surrogates or values past
// U+10FFFF).
bool IsValidUtf8(const std::string& text);

struct EncryptedDataText {
  std::string label;  // UTF-8
  std::string text;   // UTF-8, line ends as the editor gives them
};

// What the commands ask of the user beyond message boxes.
class IEncryptedDataPort {
 public:
  virtual ~IEncryptedDataPort() = default;
  // The SHA-1 thumbprint (40 lower-case hex digits) of the chosen certificate among the
  // offered ones; nothing when cancelled (or when none is offered).
  virtual std::optional<std::string> ChooseEncryptionCertificate(
      const std::vector<const CertificateObject*>& offered) = 0;
  // The edit dialog; nothing when cancelled. With labelReadOnly the label is shown only.
  virtual std::optional<EncryptedDataText> EditEncryptedData(bool labelReadOnly, const std::string& label,
                                                             const std::string& text) = 0;
};

class EncryptedDataCommands {
 public:
  EncryptedDataCommands(IContentsHost& host, IContentsView& view, IUserPort& port, IEncryptedDataPort& data);

  // Joins the three menu commands (and the double click) to this object.
  void Install(ContentsCommands& commands);

  void Create();
  void Edit(std::optional<CK_OBJECT_HANDLE> item);
  void Delete(std::optional<CK_OBJECT_HANDLE> item);

 private:
  struct Opened;
  // After the text was opened: the editor, then the new text written on a card task.
  void WriteEdited(const std::shared_ptr<CardHold>& hold, const std::shared_ptr<Opened>& opened, PKCS11Base* token,
                   CK_OBJECT_HANDLE item);
  int Box(Res::StringId text, unsigned flags);
  // The chosen card certificate; null when none was chosen or it is not on the card.
  const CertificateObject* SelectEncryptionCertificate(const TokenObjects& objects);

  IContentsHost& host_;
  IContentsView& view_;
  IUserPort& port_;
  IEncryptedDataPort& data_;
};
