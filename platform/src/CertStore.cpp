#include "platform/CertStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "CertStoreBackend.h"
#include "platform/EventLog.h"
#include "platform/FileHelpers.h"
#include "platform/LastError.h"
#include "platform/Profile.h"

namespace Platform {

struct CertContext::Decoded {
  std::vector<uint8_t> der;
  X509* certificate = nullptr;
  std::string thumbprint;

  Decoded() = default;
  Decoded(const Decoded&) = delete;
  Decoded& operator=(const Decoded&) = delete;
  ~Decoded() { X509_free(certificate); }
};

namespace {

std::string Sha1Hex(const std::vector<uint8_t>& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr) != 1) return {};
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0x0F];
  }
  return hex;
}

}  // namespace

// ---- write batches ----

namespace {
// The innermost write batch of this thread; each links to the one it was opened inside.
thread_local CertStore::WriteBatch* t_batch = nullptr;
}  // namespace

CertStore::WriteBatch::WriteBatch(CertStore* store) {
  if (!store || !store->IsOpen()) return;
  backend_ = store->backend_;
  outer_ = t_batch;
  t_batch = this;
}

CertStore::WriteBatch::~WriteBatch() {
  if (!backend_) return;
  t_batch = outer_;
  if (pending_) backend_->Flush();
}

bool DeferFolderFlush(const CertStoreBackend* backend) {
  for (CertStore::WriteBatch* batch = t_batch; batch; batch = batch->outer_) {
    if (batch->backend_.get() == backend) {
      batch->pending_ = true;
      return true;
    }
  }
  return false;
}

// ---- CertContext ----

CertContext::CertContext(std::shared_ptr<const Decoded> decoded, CertProperties properties,
                         std::shared_ptr<CertStoreBackend> store)
    : decoded_(std::move(decoded)), properties_(std::move(properties)), store_(std::move(store)) {}

CertContextPtr CertContext::Create(const uint8_t* der, size_t length) {
  if (!der || length == 0 || length > static_cast<size_t>(LONG_MAX)) {
    SetLastError(kCryptEAsn1BadTag);
    return nullptr;
  }
  const unsigned char* p = der;
  X509* certificate = d2i_X509(nullptr, &p, static_cast<long>(length));
  if (!certificate) {
    SetLastError(kCryptEAsn1BadTag);
    return nullptr;
  }
  auto decoded = std::make_shared<Decoded>();
  decoded->certificate = certificate;
  decoded->der.assign(der, p);
  decoded->thumbprint = Sha1Hex(decoded->der);
  return std::make_shared<CertContext>(std::move(decoded), CertProperties{}, nullptr);
}

CertContextPtr CertContext::Sharing(X509* certificate, const uint8_t* der, size_t length) {
  const int encoded = certificate ? i2d_X509(certificate, nullptr) : 0;
  if (!der || encoded <= 0 || static_cast<size_t>(encoded) > length || X509_up_ref(certificate) != 1) {
    SetLastError(kCryptEAsn1BadTag);
    return nullptr;
  }
  auto decoded = std::make_shared<Decoded>();
  decoded->certificate = certificate;
  decoded->der.assign(der, der + encoded);
  decoded->thumbprint = Sha1Hex(decoded->der);
  return std::make_shared<CertContext>(std::move(decoded), CertProperties{}, nullptr);
}

const std::vector<uint8_t>& CertContext::Encoded() const { return decoded_->der; }
const X509* CertContext::Certificate() const { return decoded_->certificate; }
const std::string& CertContext::Thumbprint() const { return decoded_->thumbprint; }

CertContextPtr CertContext::WithStore(CertProperties properties,
                                      std::shared_ptr<CertStoreBackend> store) const {
  return std::make_shared<CertContext>(decoded_, std::move(properties), std::move(store));
}

int CertContext::VerifyTimeValidity(std::time_t at) const {
  // ASN1_TIME_cmp_time_t: -1 earlier, 0 equal, 1 later, -2 unreadable.
  const int before = ASN1_TIME_cmp_time_t(X509_get0_notBefore(decoded_->certificate), at);
  if (before == 1 || before == -2) return -1;
  const int after = ASN1_TIME_cmp_time_t(X509_get0_notAfter(decoded_->certificate), at);
  if (after == -1 || after == -2) return 1;
  return 0;
}

// ---- CertStore ----

CertStore::CertStore(std::string name, std::shared_ptr<CertStoreBackend> backend)
    : name_(std::move(name)), backend_(std::move(backend)) {}

CertStore::~CertStore() = default;

std::unique_ptr<CertStore> CertStore::OpenSystem(const std::string& name) {
  if (name != "MY" && name != "CA" && name != "ROOT" && name != "SPC") {
    SetLastError(kEInvalidArg);
    return nullptr;
  }
  auto backend = MakeFolderBackend(StoresDirectory() + "/" + name,
                                   name == "ROOT" ? TrustBundlePath() : std::string());
  if (!backend) return nullptr;
  return std::unique_ptr<CertStore>(new CertStore(name, std::move(backend)));
}

std::unique_ptr<CertStore> CertStore::OpenMemory() {
  return std::unique_ptr<CertStore>(new CertStore({}, MakeMemoryBackend()));
}

std::string CertStore::StoresDirectory() {
  const char* home = std::getenv("HOME");
  return EnvironmentOr("XDG_DATA_HOME", std::string(home ? home : "") + "/.local/share") +
         "/Tavrenic/stores";
}

std::string CertStore::TrustBundlePath() {
  return EnvironmentOr("TVR_TRUST_BUNDLE", "/etc/ssl/certs/ca-certificates.crt");
}

bool CertStore::Close() {
  if (!backend_) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  backend_.reset();
  return true;
}

bool CertStore::IsOpen() const { return backend_ != nullptr; }

const CertStoreBackend* CertStore::Backend() const {
  if (!backend_) SetLastError(kErrorInvalidHandle);
  return backend_.get();
}

CertStoreBackend* CertStore::Backend() {
  if (!backend_) SetLastError(kErrorInvalidHandle);
  return backend_.get();
}

bool CertStore::Enumerate(std::vector<CertContextPtr>& out) const {
  if (!Backend()) return false;
  std::vector<CertContextPtr> all;
  if (!backend_->List(all)) return false;
  out.insert(out.end(), all.begin(), all.end());
  return true;
}

std::string CertStore::Folder() const { return Backend() ? backend_->Folder() : std::string(); }

bool CertStore::WriteCompanionFile(const std::string& name, const std::string& contents) {
  return Backend() && backend_->WriteCompanionFile(name, contents);
}

std::string CertStore::ChangeStamp() const {
  return Backend() ? backend_->ChangeStamp() : std::string();
}

CertContextPtr CertStore::EnumNext(const CertContextPtr& previous) const {
  std::vector<CertContextPtr> all;
  if (!Enumerate(all)) return nullptr;
  for (const auto& context : all)
    if (!previous || context->Thumbprint() > previous->Thumbprint()) return context;
  SetLastError(kCryptENotFound);
  return nullptr;
}

CertContextPtr CertStore::FindByThumbprint(const std::string& sha1Hex) const {
  if (!Backend()) return nullptr;
  if (!IsThumbprintText(sha1Hex)) {
    SetLastError(kCryptENotFound);
    return nullptr;
  }
  return backend_->Find(sha1Hex);
}

CertContextPtr CertStore::FindBySubject(const std::string& text, const CertContextPtr& previous) const {
  std::vector<CertContextPtr> all;
  if (!Enumerate(all)) return nullptr;
  for (const auto& context : all) {
    if (previous && context->Thumbprint() <= previous->Thumbprint()) continue;
    if (context->SubjectContains(text)) return context;
  }
  SetLastError(kCryptENotFound);
  return nullptr;
}

CertContextPtr CertStore::Add(const CertContext& certificate, CertAddDisposition disposition) {
  if (!Backend()) return nullptr;
  if (disposition != CertAddDisposition::New && disposition != CertAddDisposition::UseExisting &&
      disposition != CertAddDisposition::ReplaceExisting) {
    SetLastError(kEInvalidArg);
    return nullptr;
  }
  return backend_->Add(certificate, disposition);
}

bool CertStore::Delete(const CertContext& certificate) {
  if (!Backend()) return false;
  return backend_->Remove(certificate.Thumbprint());
}

bool DeleteCertificateFromStore(const CertContextPtr& context) {
  if (!context || !context->Store()) {
    SetLastError(kEInvalidArg);
    return false;
  }
  return context->Store()->Remove(context->Thumbprint());
}

// ---- shared by the backends ----

bool IsThumbprintText(const std::string& text) {
  if (text.size() != 40) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

void ReportStoreError(const std::string& text) {
  // Error entries are admitted at every level that writes anything.
  const uint32_t level = Profile().GetDword("", "EventLogLevel", 0);
  if (level >= 1 && level <= 3) ReportEvent(kEventError, text);
}

}  // namespace Platform
