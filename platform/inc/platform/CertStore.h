// The user's certificate stores: the stand-in for the system's certificate store API.
//
// A system store is a folder, $XDG_DATA_HOME/Tavrenic/stores/<NAME>/ (default
// ~/.local/share), for the names "MY", "CA", "ROOT" and "SPC". Each certificate is one
// file <sha1>.der (the DER bytes; the name is the SHA-1 thumbprint in lower-case hex) and,
// when it has properties, one file <sha1>.props. Every operation takes the store's file
// lock (<folder>/.lock) and every write goes to a temp file that is synced and renamed,
// so two threads or two processes never see a half-written certificate or property file.
// A damaged or foreign file in the folder is skipped with an error event; only regular files
// are read (never a link, FIFO or device), of at most 1 MiB. "ROOT" also shows the
// certificates of the system trust bundle, read-only ($TVR_TRUST_BUNDLE, default
// /etc/ssl/certs/ca-certificates.crt); the bundle is parsed once per process and again only
// when the file changes.
//
// A memory store offers the same operations on certificates held by the process.
//
// Failures are reported by the result (null, false) and the thread's last error
// (Platform::GetLastError): kCryptENotFound, kCryptEExists, kCryptEAsn1BadTag,
// kErrorInvalidHandle (closed store), kEInvalidArg, kErrorAccessDenied or a file error.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <openssl/x509.h>

namespace Platform {

class CertStoreBackend;
class CertContext;
using CertContextPtr = std::shared_ptr<CertContext>;

// Key specs of the key-provider information.
inline constexpr uint32_t kAtKeyExchange = 1;  // AT_KEYEXCHANGE
inline constexpr uint32_t kAtSignature = 2;    // AT_SIGNATURE

// What Add does when the store already holds the certificate (same thumbprint).
enum class CertAddDisposition : uint32_t {
  New = 1,              // fail with kCryptEExists
  UseExisting = 2,      // keep the stored one and its properties; return it
  ReplaceExisting = 3,  // replace it, properties included, with the one given
};

// CERT_KEY_PROV_INFO: which provider and key container hold the certificate's key.
struct CertKeyProvInfo {
  std::string containerName;
  std::string providerName;
  uint32_t providerType = 0;
  uint32_t flags = 0;
  uint32_t keySpec = 0;
  bool operator==(const CertKeyProvInfo&) const = default;
};

struct CertProperties {
  std::optional<CertKeyProvInfo> keyProvInfo;
  std::optional<std::string> friendlyName;  // UTF-8
  bool operator==(const CertProperties&) const = default;
};

// One certificate with its properties, either standalone (made from DER bytes) or as a
// store returned it. The decoded certificate is shared between copies and never changes;
// the properties belong to this object. Setting a property changes this object only: a
// store keeps the properties that were given when the certificate was added.
class CertContext {
 public:
  struct Decoded;  // the DER bytes, the certificate and its thumbprint (opaque)

  // Decodes one DER certificate; bytes after its end are not part of it. Null (last error
  // kCryptEAsn1BadTag) when the bytes do not start with a certificate.
  static CertContextPtr Create(const uint8_t* der, size_t length);
  // The same without a second decode: `certificate` is what `der` decodes to (one more
  // reference is taken; nobody changes it). Null when the bytes are shorter than it.
  static CertContextPtr Sharing(X509* certificate, const uint8_t* der, size_t length);

  const std::vector<uint8_t>& Encoded() const;
  const X509* Certificate() const;
  // SHA-1 of the DER bytes, 40 lower-case hexadecimal digits.
  const std::string& Thumbprint() const;

  const CertProperties& Properties() const { return properties_; }
  void SetKeyProvInfo(std::optional<CertKeyProvInfo> info) { properties_.keyProvInfo = std::move(info); }
  void SetFriendlyName(std::optional<std::string> name) { properties_.friendlyName = std::move(name); }

  // -1 when the instant lies before notBefore, 1 after notAfter, 0 inside the validity.
  int VerifyTimeValidity(std::time_t at) const;

  // The simple display name: of the subject (or of the issuer) the first common name, else
  // organisational unit, organisation, e-mail attribute, then the alternative name's first
  // e-mail address, then the name's first attribute; empty when there is none. At most
  // maxUnits UTF-16 code units, cut on a character boundary. UTF-8.
  std::string SimpleDisplayName(bool issuer = false, size_t maxUnits = 127) const;
  // Whether the subject, as its attribute values joined by ", ", contains the text,
  // ignoring case.
  bool SubjectContains(const std::string& text) const;

  // A copy that belongs to the same store (or to none).
  CertContextPtr Duplicate() const { return std::make_shared<CertContext>(*this); }
  // Whether a store returned this context.
  bool InStore() const { return store_ != nullptr; }

  // For the store layer.
  CertContext(std::shared_ptr<const Decoded> decoded, CertProperties properties,
              std::shared_ptr<CertStoreBackend> store);
  CertContextPtr WithStore(CertProperties properties, std::shared_ptr<CertStoreBackend> store) const;
  const std::shared_ptr<CertStoreBackend>& Store() const { return store_; }

 private:
  std::shared_ptr<const Decoded> decoded_;
  CertProperties properties_;
  std::shared_ptr<CertStoreBackend> store_;
};

// An open store. The contexts it returns keep what they need alive, so they stay usable
// (and deletable) after the store object is closed or destroyed. One object may be used by
// several threads at once, as long as none of them is closing it.
class CertStore {
 public:
  // The system store of that name ("MY", "CA", "ROOT", "SPC"), its folder created when
  // missing. Null for another name (kEInvalidArg) or a folder that cannot be made.
  static std::unique_ptr<CertStore> OpenSystem(const std::string& name);
  static std::unique_ptr<CertStore> OpenMemory();
  // $XDG_DATA_HOME/Tavrenic/stores (default ~/.local/share/Tavrenic/stores).
  static std::string StoresDirectory();
  // $TVR_TRUST_BUNDLE, default /etc/ssl/certs/ca-certificates.crt.
  static std::string TrustBundlePath();

  ~CertStore();
  CertStore(const CertStore&) = delete;
  CertStore& operator=(const CertStore&) = delete;

  // Every later call on this object fails with kErrorInvalidHandle. False when already closed.
  bool Close();
  bool IsOpen() const;
  // The system store's name; empty for a memory store.
  const std::string& Name() const { return name_; }

  // Every certificate, in ascending thumbprint order. False (nothing appended) when the store
  // cannot be read.
  bool Enumerate(std::vector<CertContextPtr>& out) const;
  // A text that changes whenever what Enumerate gives may have changed (a certificate or its
  // properties added, replaced or removed, by any process; the trust bundle changed), without
  // reading a certificate: equal texts, equal contents. Empty when it cannot be told.
  std::string ChangeStamp() const;
  // The certificate after `previous` in that order (the first for null); null at the end
  // (last error kCryptENotFound).
  CertContextPtr EnumNext(const CertContextPtr& previous) const;
  // Null when absent (kCryptENotFound); a text that is not a thumbprint is never found.
  CertContextPtr FindByThumbprint(const std::string& sha1Hex) const;
  // The first certificate after `previous` whose subject contains the text (ignoring case).
  CertContextPtr FindBySubject(const std::string& text, const CertContextPtr& previous = nullptr) const;
  // Adds the certificate with its properties; returns the store's context of it. A system
  // store refuses (kEInvalidArg) a certificate or properties of more than 1 MiB.
  CertContextPtr Add(const CertContext& certificate, CertAddDisposition disposition);
  // Removes the certificate with that thumbprint. A certificate that is not there counts as
  // removed. False only when it stays: kErrorAccessDenied for one of the read-only trust
  // bundle (the store is then unchanged), a file error, or a closed store.
  bool Delete(const CertContext& certificate);

  // The store's folder; empty for a memory store.
  std::string Folder() const;
  // A file of the store's user kept beside the certificates (its name begins with a dot;
  // never listed as a certificate), written as they are: flushed and renamed into place,
  // and with this thread's WriteBatch running, its folder flush left to the batch's end, so
  // that it reaches the disk no later than the certificates added after it. False for a
  // memory store or another name.
  bool WriteCompanionFile(const std::string& name, const std::string& contents);

  // While one lives, this thread's additions to the store leave the flush of the store's
  // folder to its end: a run of additions (a card's certificates) costs one folder flush
  // instead of one per file. Each file is still flushed and renamed into place, so readers
  // see whole files only. Nothing for a null or memory store.
  class WriteBatch {
   public:
    explicit WriteBatch(CertStore* store);
    ~WriteBatch();
    WriteBatch(const WriteBatch&) = delete;
    WriteBatch& operator=(const WriteBatch&) = delete;

   private:
    std::shared_ptr<CertStoreBackend> backend_;
    WriteBatch* outer_ = nullptr;
    bool pending_ = false;
    friend bool DeferFolderFlush(const CertStoreBackend* backend);
  };

 private:
  CertStore(std::string name, std::shared_ptr<CertStoreBackend> backend);
  const CertStoreBackend* Backend() const;
  CertStoreBackend* Backend();

  std::string name_;
  std::shared_ptr<CertStoreBackend> backend_;
};

using CertStorePtr = std::unique_ptr<CertStore>;

// Deletes a store's context from the store it came from (whether or not that store object
// is still open). False with kEInvalidArg for a standalone context.
bool DeleteCertificateFromStore(const CertContextPtr& context);

}  // namespace Platform
