// System stores: one folder per store, one <sha1>.der and one <sha1>.props per certificate.
//
// Every operation holds the folder's lock file, so an operation sees the folder as another
// one left it. Writes go through WriteFileAtomically, the properties before the certificate;
// a temp file still there when the lock is ours, or a properties file without its
// certificate, was left by a writer that died, and is removed (temp files by every
// operation that changes the folder, the rest when it is listed).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "CertStoreBackend.h"
#include "platform/FileHelpers.h"
#include "platform/LastError.h"

namespace Platform {

namespace {

constexpr const char* kPropertiesHeader = "TavrenicCertificateProperties 1";
constexpr const char* kDerSuffix = ".der";
constexpr const char* kPropsSuffix = ".props";

// Values are one line each: '%', control characters and DEL become %XX.
std::string Escape(const std::string& value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7F || c == '%') {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 0x0F];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::optional<std::string> Unescape(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      out += value[i];
      continue;
    }
    if (i + 2 >= value.size()) return std::nullopt;
    const std::string hex = value.substr(i + 1, 2);
    if (!std::isxdigit(static_cast<unsigned char>(hex[0])) ||
        !std::isxdigit(static_cast<unsigned char>(hex[1])))
      return std::nullopt;
    out += static_cast<char>(std::stoi(hex, nullptr, 16));
    i += 2;
  }
  return out;
}

std::optional<uint32_t> ParseU32(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "<thumbprint>.der.XXXXXX" or "<thumbprint>.props.XXXXXX": a writer's temp file.
bool IsTempFileName(const std::string& name) {
  if (name.size() < 41 || !IsThumbprintText(name.substr(0, 40))) return false;
  const std::string rest = name.substr(40);
  for (const std::string& suffix : {std::string(kDerSuffix) + ".", std::string(kPropsSuffix) + "."}) {
    if (rest.size() == suffix.size() + 6 && rest.compare(0, suffix.size(), suffix) == 0) return true;
  }
  return false;
}

bool IsDerFileName(const std::string& name) {
  return EndsWith(name, kDerSuffix) && name.size() == 44 && IsThumbprintText(name.substr(0, 40));
}

bool IsPropsFileName(const std::string& name) {
  return EndsWith(name, kPropsSuffix) && name.size() == 46 && IsThumbprintText(name.substr(0, 40));
}

class FolderBackend : public CertStoreBackend {
 public:
  FolderBackend(std::string folder, std::string trustBundle)
      : folder_(std::move(folder)), trustBundle_(std::move(trustBundle)) {}

  bool List(std::vector<CertContextPtr>& out) override {
    FileLock lock(LockPath());
    if (!Locked(lock)) return false;
    std::map<std::string, CertContextPtr> found;
    for (const auto& [thumbprint, context] : *LoadTrustBundle(trustBundle_))
      found[thumbprint] = context->WithStore({}, shared_from_this());
    DIR* dir = ::opendir(folder_.c_str());
    if (!dir) {
      SetLastError(ErrorFromErrno(errno));
      return false;
    }
    std::set<std::string> names;
    while (const dirent* entry = ::readdir(dir)) names.emplace(entry->d_name);
    ::closedir(dir);
    for (const std::string& name : names) {
      // Dot files are the store's own (its lock) or its users' companions.
      if (name.empty() || name[0] == '.') continue;
      const std::string path = folder_ + "/" + name;
      if (IsTempFileName(name)) {
        ::unlink(path.c_str());
        continue;
      }
      const bool der = IsDerFileName(name);
      const bool props = IsPropsFileName(name);
      if (props) {
        // Read with its certificate. One without was left by a writer that died between
        // the two files (or by a manual deletion): nothing will ever read it.
        if (!names.count(name.substr(0, 40) + kDerSuffix)) ::unlink(path.c_str());
        continue;
      }
      if (!der) {
        ReportStoreError("Foreign file in the certificate store skipped: " + path);
        continue;
      }
      if (auto context = Load(name.substr(0, 40))) found[context->Thumbprint()] = context;
    }
    for (auto& [thumbprint, context] : found) out.push_back(context);
    return true;
  }

  CertContextPtr Find(const std::string& thumbprint) override {
    FileLock lock(LockPath());
    if (!Locked(lock)) return nullptr;
    if (auto context = Load(thumbprint)) return context;
    if (auto context = FromBundle(thumbprint)) return context;
    SetLastError(kCryptENotFound);
    return nullptr;
  }

  CertContextPtr Add(const CertContext& certificate, CertAddDisposition disposition) override {
    FileLock lock(LockPath());
    if (!Locked(lock)) return nullptr;
    RemoveTempFiles();
    const std::string& thumbprint = certificate.Thumbprint();
    CertContextPtr existing = Load(thumbprint);
    if (!existing) existing = FromBundle(thumbprint);
    if (existing && disposition == CertAddDisposition::New) {
      SetLastError(kCryptEExists);
      return nullptr;
    }
    if (existing && disposition == CertAddDisposition::UseExisting) return existing;

    const CertProperties& properties = certificate.Properties();
    const auto& der = certificate.Encoded();
    const bool hasProperties = properties.keyProvInfo || properties.friendlyName;
    const std::string text = hasProperties ? SerializeProperties(properties) : std::string();
    if (der.size() > kMaxStoreFileSize || text.size() > kMaxStoreFileSize) {
      SetLastError(kEInvalidArg);  // more than the store would read back
      return nullptr;
    }
    const bool syncFolder = !DeferFolderFlush(this);
    bool written = true;
    if (hasProperties) {
      written = WriteFileAtomically(PropsPath(thumbprint), text, 0600, syncFolder);
    } else if (::unlink(PropsPath(thumbprint).c_str()) != 0 && errno != ENOENT) {
      written = false;
    }
    if (written) {
      written = WriteFileAtomically(DerPath(thumbprint), std::string(der.begin(), der.end()), 0600, syncFolder);
    }
    if (!written) {
      SetLastError(ErrorFromErrno(errno));
      return nullptr;
    }
    return certificate.WithStore(properties, shared_from_this());
  }

  void Flush() override { SyncFolder(folder_); }

  std::string Folder() const override { return folder_; }

  bool WriteCompanionFile(const std::string& name, const std::string& contents) override {
    if (name.size() < 2 || name[0] != '.' || name == ".lock" || name.find('/') != std::string::npos) {
      SetLastError(kEInvalidArg);
      return false;
    }
    if (WriteFileAtomically(folder_ + "/" + name, contents, 0600, !DeferFolderFlush(this))) return true;
    SetLastError(ErrorFromErrno(errno));
    return false;
  }

  // The bundle's identity and each store file's: a write replaces a file (another inode)
  // and a removal drops it. No lock: a change under way only makes the stamp differ.
  std::string ChangeStamp() override {
    DIR* dir = ::opendir(folder_.c_str());
    if (!dir) return std::string();
    std::vector<std::string> files;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      struct stat st;
      if ((!IsDerFileName(name) && !IsPropsFileName(name)) ||
          ::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        continue;
      files.push_back(name + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
                      std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
                      std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec));
    }
    ::closedir(dir);
    std::sort(files.begin(), files.end());
    std::string stamp = TrustBundleStamp(trustBundle_);
    for (const std::string& file : files) stamp += "\n" + file;
    return stamp;
  }

  bool Remove(const std::string& thumbprint) override {
    FileLock lock(LockPath());
    if (!Locked(lock)) return false;
    RemoveTempFiles();
    if (!IsThumbprintText(thumbprint)) return true;  // never stored, so gone
    if (FromBundle(thumbprint)) {
      // It stays in the read-only bundle, so it cannot be deleted; a folder copy (with its
      // properties) is left as it is rather than half-deleted.
      SetLastError(kErrorAccessDenied);
      return false;
    }
    for (const std::string& path : {DerPath(thumbprint), PropsPath(thumbprint)}) {
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        SetLastError(ErrorFromErrno(errno));
        return false;
      }
    }
    return true;
  }

 private:
  std::string LockPath() const { return folder_ + "/.lock"; }
  std::string DerPath(const std::string& thumbprint) const { return folder_ + "/" + thumbprint + kDerSuffix; }
  std::string PropsPath(const std::string& thumbprint) const { return folder_ + "/" + thumbprint + kPropsSuffix; }

  // With the lock held, a temp file of the store's naming was left by a writer that died:
  // a store that is only ever added to and deleted from must not fill up with them.
  void RemoveTempFiles() {
    DIR* dir = ::opendir(folder_.c_str());
    if (!dir) return;
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(dir))
      if (IsTempFileName(entry->d_name)) stale.emplace_back(entry->d_name);
    for (const std::string& name : stale) ::unlinkat(::dirfd(dir), name.c_str(), 0);
    ::closedir(dir);
  }

  static bool Locked(const FileLock& lock) {
    if (lock.Locked()) return true;
    SetLastError(ErrorFromErrno(errno));
    return false;
  }

  // The folder's certificate, or null (kCryptENotFound) when there is no usable one.
  CertContextPtr Load(const std::string& thumbprint) {
    std::string der;
    const std::string derPath = DerPath(thumbprint);
    if (!ReadOwnFile(derPath, der)) {
      SetLastError(kCryptENotFound);
      return nullptr;
    }
    auto context = CertContext::Create(reinterpret_cast<const uint8_t*>(der.data()), der.size());
    if (!context || context->Thumbprint() != thumbprint || context->Encoded().size() != der.size()) {
      ReportStoreError("Damaged file in the certificate store skipped: " + derPath);
      SetLastError(kCryptENotFound);
      return nullptr;
    }
    CertProperties properties;
    std::string text;
    if (ReadOwnFile(PropsPath(thumbprint), text)) {
      if (auto parsed = ParseProperties(text)) {
        properties = *parsed;
      } else {
        ReportStoreError("Damaged file in the certificate store skipped: " + PropsPath(thumbprint));
      }
    }
    return context->WithStore(properties, shared_from_this());
  }

  // A file of the folder, only when it is a regular file (not a link, FIFO or device that
  // someone put there) of a size the store writes; anything else is reported and skipped.
  static bool ReadOwnFile(const std::string& path, std::string& out) {
    switch (ReadRegularFile(path, kMaxStoreFileSize, false, out)) {
      case FileRead::Ok:
        return true;
      case FileRead::NotRegular:
        ReportStoreError("Foreign file in the certificate store skipped: " + path);
        return false;
      case FileRead::TooLarge:
        ReportStoreError("Damaged file in the certificate store skipped: " + path);
        return false;
      case FileRead::Missing:
      case FileRead::Failed:
        break;
    }
    return false;
  }

  CertContextPtr FromBundle(const std::string& thumbprint) {
    const auto bundle = LoadTrustBundle(trustBundle_);
    auto it = bundle->find(thumbprint);
    if (it == bundle->end()) return nullptr;
    return it->second->WithStore({}, shared_from_this());
  }

  std::string folder_;
  std::string trustBundle_;
};

}  // namespace

std::string SerializeProperties(const CertProperties& properties) {
  std::string text = std::string(kPropertiesHeader) + "\n";
  if (const auto& info = properties.keyProvInfo) {
    text += "ContainerName=" + Escape(info->containerName) + "\n";
    text += "ProviderName=" + Escape(info->providerName) + "\n";
    text += "ProviderType=" + std::to_string(info->providerType) + "\n";
    text += "Flags=" + std::to_string(info->flags) + "\n";
    text += "KeySpec=" + std::to_string(info->keySpec) + "\n";
  }
  if (properties.friendlyName) text += "FriendlyName=" + Escape(*properties.friendlyName) + "\n";
  return text;
}

// Nothing for a file that is not one of ours or is damaged.
std::optional<CertProperties> ParseProperties(const std::string& text) {
  std::map<std::string, std::string> values;
  size_t start = 0;
  bool header = false;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) return std::nullopt;  // every line ends with a line break
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!header) {
      if (line != kPropertiesHeader) return std::nullopt;
      header = true;
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    const std::string key = line.substr(0, eq);
    auto value = Unescape(line.substr(eq + 1));
    if (!value || values.count(key)) return std::nullopt;
    values[key] = *value;
  }
  if (!header) return std::nullopt;

  CertProperties properties;
  static const char* const kInfoKeys[] = {"ContainerName", "ProviderName", "ProviderType", "Flags",
                                          "KeySpec"};
  size_t infoKeys = 0;
  for (const char* key : kInfoKeys) infoKeys += values.count(key);
  if (infoKeys == 5) {
    CertKeyProvInfo info;
    info.containerName = values["ContainerName"];
    info.providerName = values["ProviderName"];
    const auto type = ParseU32(values["ProviderType"]);
    const auto flags = ParseU32(values["Flags"]);
    const auto keySpec = ParseU32(values["KeySpec"]);
    if (!type || !flags || !keySpec) return std::nullopt;
    info.providerType = *type;
    info.flags = *flags;
    info.keySpec = *keySpec;
    properties.keyProvInfo = info;
  } else if (infoKeys != 0) {
    return std::nullopt;
  }
  if (values.count("FriendlyName")) properties.friendlyName = values["FriendlyName"];
  if (values.size() != infoKeys + (properties.friendlyName ? 1 : 0)) return std::nullopt;
  return properties;
}

std::shared_ptr<CertStoreBackend> MakeFolderBackend(const std::string& folder,
                                                    const std::string& trustBundle) {
  if (!MakeDirectories(folder, 0700)) {
    SetLastError(ErrorFromErrno(errno));
    return nullptr;
  }
  return std::make_shared<FolderBackend>(folder, trustBundle);
}

}  // namespace Platform
