// The contents page's import of a key pair and its certificate from a PKCS #12 (PFX, P12)
// file: the private key, the public key and the certificate become three token objects
// with one new CKA_ID and labels that the user confirms.
#pragma once

#include <optional>
#include <string>

#include "CertificateCommands.h"
#include "ContentsHost.h"
#include "SecureString.h"
#include "Strings.h"
#include "TokenObjects.h"
#include "UserPort.h"

struct KeyAndCertLabels {
  std::string privateKey;   // UTF-8
  std::string publicKey;
  std::string certificate;
};

// The three labels derived from a prefix (an empty prefix included).
KeyAndCertLabels LabelsForPrefix(const std::string& prefix);
// The refusal for a label that a record of its kind already carries; nothing when all
// three are new.
std::optional<Res::StringId> ExistingLabel(const TokenObjects& objects, const KeyAndCertLabels& labels);
// A new identifier: the 36-character lower-case text of a random UUID, each character as
// two upper-case hex digits (so the CKA_ID is the UUID text's 36 ASCII bytes).
std::string NewImportIdHex();

// What the import asks of the user beyond message boxes.
class IPfxImportPort {
 public:
  virtual ~IPfxImportPort() = default;
  // The file to import; nothing when cancelled.
  virtual std::optional<std::string> ChoosePfxFile() = 0;
  // The file's password (UTF-8 in a zeroing string); nothing when cancelled.
  virtual std::optional<TvrCommon::SecureString> AskPfxPassword(const std::string& fileName) = 0;
  // The labels dialog (it refuses existing labels itself); nothing when cancelled.
  virtual std::optional<KeyAndCertLabels> AskLabels(const std::string& prefix, const TokenObjects& objects) = 0;
};

class PfxImport {
 public:
  PfxImport(IContentsHost& host, IContentsView& view, IUserPort& port, IPfxImportPort& pfx,
            ContentsCommands& commands);

  // Joins the menu command to this object.
  void Install();
  void Run();

 private:
  int Box(Res::StringId text, unsigned flags);

  IContentsHost& host_;
  IContentsView& view_;
  IUserPort& port_;
  IPfxImportPort& pfx_;
  ContentsCommands& commands_;
};
