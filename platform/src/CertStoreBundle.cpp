// The system trust bundle behind "ROOT": parsed once per version of the file and shared by
// every store object of the process, so that a look-up costs a stat, not a parse of every
// certificate in the bundle.
#include <sys/stat.h>

#include <openssl/pem.h>

#include <mutex>

#include "CertStoreBackend.h"
#include "platform/FileHelpers.h"

namespace Platform {

namespace {

// Far above any real bundle (Debian's is about 220 KB).
constexpr size_t kMaxBundleSize = 64u << 20;

// What identifies one version of the file: replaced (another inode) or rewritten in place
// (another size or modification time).
struct BundleVersion {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  long long mtimeSeconds = 0;
  long mtimeNanoseconds = 0;

  explicit BundleVersion(const struct stat& st)
      : device(st.st_dev), inode(st.st_ino), size(st.st_size), mtimeSeconds(st.st_mtim.tv_sec),
        mtimeNanoseconds(st.st_mtim.tv_nsec) {}
  bool operator==(const BundleVersion&) const = default;
};

struct CachedBundle {
  BundleVersion version;
  std::shared_ptr<const TrustBundle> certificates;
};

std::shared_ptr<const TrustBundle> EmptyBundle() {
  static const auto empty = std::make_shared<const TrustBundle>();
  return empty;
}

// The certificate of one PEM block, or null when the block is damaged.
CertContextPtr ParseBlock(const char* data, size_t size) {
  CertContextPtr context;
  BIO* bio = BIO_new_mem_buf(data, static_cast<int>(size));
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* der = nullptr;
  long length = 0;
  if (bio && PEM_read_bio(bio, &name, &header, &der, &length) == 1 && length > 0)
    context = CertContext::Create(der, static_cast<size_t>(length));
  OPENSSL_free(name);
  OPENSSL_free(header);
  OPENSSL_free(der);
  BIO_free(bio);
  return context;
}

// One pass over the text: a block runs from its BEGIN line to the next END line, unless
// another BEGIN comes first (the block is then damaged and the other starts afresh). Each
// byte is looked at a bounded number of times, so a damaged bundle costs no more than a
// good one, and the damage is reported once for the whole file.
std::shared_ptr<const TrustBundle> ParseBundle(const std::string& path, const std::string& text) {
  auto certificates = std::make_shared<TrustBundle>();
  static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
  static const std::string kEnd = "-----END CERTIFICATE-----";
  size_t damaged = 0;
  size_t begin = text.find(kBegin);
  // The first END at or after the current block's start; only ever moves forward.
  size_t end = begin == std::string::npos ? std::string::npos : text.find(kEnd, begin);
  while (begin != std::string::npos) {
    const size_t nextBegin = text.find(kBegin, begin + kBegin.size());
    if (end != std::string::npos && end < begin) end = text.find(kEnd, begin);
    if (end == std::string::npos || (nextBegin != std::string::npos && nextBegin < end)) {
      ++damaged;  // no END before the next block (or the end of the file)
    } else if (CertContextPtr context = ParseBlock(text.data() + begin, end + kEnd.size() - begin)) {
      certificates->emplace(context->Thumbprint(), context);
    } else {
      ++damaged;
    }
    begin = nextBegin;
  }
  if (damaged == 1)
    ReportStoreError("Damaged certificate in the trust bundle skipped: " + path);
  else if (damaged > 1)
    ReportStoreError(std::to_string(damaged) + " damaged certificates in the trust bundle skipped: " + path);
  return certificates;
}

}  // namespace

std::string TrustBundleStamp(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return "-";
  const BundleVersion version(st);
  return std::to_string(version.device) + ":" + std::to_string(version.inode) + ":" + std::to_string(version.size) +
         ":" + std::to_string(version.mtimeSeconds) + "." + std::to_string(version.mtimeNanoseconds);
}

std::shared_ptr<const TrustBundle> LoadTrustBundle(const std::string& path) {
  static std::mutex lock;
  static std::map<std::string, CachedBundle> cache;

  if (path.empty()) return EmptyBundle();
  std::lock_guard<std::mutex> guard(lock);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    cache.erase(path);
    return EmptyBundle();
  }
  auto it = cache.find(path);
  if (it != cache.end() && it->second.version == BundleVersion(st)) return it->second.certificates;

  // Keyed by what was actually read, should the file change between the two calls.
  std::string text;
  if (ReadRegularFile(path, kMaxBundleSize, true, text, &st) != FileRead::Ok) {
    cache.erase(path);
    return EmptyBundle();
  }
  auto certificates = ParseBundle(path, text);
  cache.insert_or_assign(path, CachedBundle{BundleVersion(st), certificates});
  return certificates;
}

}  // namespace Platform
