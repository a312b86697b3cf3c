// Where a store keeps its certificates: a folder (system stores) or the process (memory
// stores). Each operation is whole: it sees and leaves the store consistent.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/CertStore.h"

namespace Platform {

class CertStoreBackend : public std::enable_shared_from_this<CertStoreBackend> {
 public:
  virtual ~CertStoreBackend() = default;

  // Every certificate in ascending thumbprint order, as contexts of this store.
  virtual bool List(std::vector<CertContextPtr>& out) = 0;
  // Null with kCryptENotFound when absent.
  virtual CertContextPtr Find(const std::string& thumbprint) = 0;
  virtual CertContextPtr Add(const CertContext& certificate, CertAddDisposition disposition) = 0;
  virtual bool Remove(const std::string& thumbprint) = 0;
  // Makes the writes so far durable (the folder flush a write batch held back).
  virtual void Flush() {}
  // See CertStore::Folder and CertStore::WriteCompanionFile.
  virtual std::string Folder() const { return std::string(); }
  virtual bool WriteCompanionFile(const std::string&, const std::string&) { return false; }
  // See CertStore::ChangeStamp.
  virtual std::string ChangeStamp() = 0;
};

// True when this thread holds a write batch on `backend`: the caller then leaves the folder
// flush to the batch's end, which this call arranges.
bool DeferFolderFlush(const CertStoreBackend* backend);

std::shared_ptr<CertStoreBackend> MakeMemoryBackend();
// Null (with the last error set) when the folder cannot be made.
std::shared_ptr<CertStoreBackend> MakeFolderBackend(const std::string& folder,
                                                    const std::string& trustBundle);

// Largest certificate or properties file a store reads or writes.
inline constexpr size_t kMaxStoreFileSize = 1 << 20;

// The certificates of a PEM trust bundle by thumbprint, as contexts of no store. The bundle
// is parsed once and shared by the whole process until the file changes (another inode,
// size or modification time); damaged blocks are reported at that parse and skipped. A
// missing or unreadable bundle gives an empty set.
using TrustBundle = std::map<std::string, CertContextPtr>;
std::shared_ptr<const TrustBundle> LoadTrustBundle(const std::string& path);
// What identifies the bundle file's version (as the cache above tells them apart), as text;
// "-" when it is missing.
std::string TrustBundleStamp(const std::string& path);

// 40 lower-case hexadecimal digits.
bool IsThumbprintText(const std::string& text);
// Writes an error entry for the store layer under the program's "EventLogLevel" rule.
void ReportStoreError(const std::string& text);

// The text of a folder store's <thumbprint>.props file, and back; nothing for a file that
// is not one of ours or is damaged.
std::string SerializeProperties(const CertProperties& properties);
std::optional<CertProperties> ParseProperties(const std::string& text);

}  // namespace Platform
