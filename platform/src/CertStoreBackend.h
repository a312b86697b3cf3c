// Where a store keeps its certificates: a folder (system stores) or the process (memory
// stores). Each operation is whole: it sees and leaves the store consistent.
#pragma once

#include <memory>
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
};

std::shared_ptr<CertStoreBackend> MakeMemoryBackend();
// Null (with the last error set) when the folder cannot be made.
std::shared_ptr<CertStoreBackend> MakeFolderBackend(const std::string& folder,
                                                    const std::string& trustBundle);

// 40 lower-case hexadecimal digits.
bool IsThumbprintText(const std::string& text);
// Writes an error entry for the store layer under the program's "EventLogLevel" rule.
void ReportStoreError(const std::string& text);

}  // namespace Platform
