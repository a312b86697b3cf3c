// Memory stores: the certificates live in the process, guarded by one mutex.
#include <cstdint>
#include <map>
#include <string>
#include <mutex>

#include "CertStoreBackend.h"
#include "platform/LastError.h"

namespace Platform {

namespace {

class MemoryBackend : public CertStoreBackend {
 public:
  bool List(std::vector<CertContextPtr>& out) override {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& [thumbprint, stored] : certificates_) out.push_back(Copy(*stored));
    return true;
  }

  CertContextPtr Find(const std::string& thumbprint) override {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = certificates_.find(thumbprint);
    if (it == certificates_.end()) {
      SetLastError(kCryptENotFound);
      return nullptr;
    }
    return Copy(*it->second);
  }

  CertContextPtr Add(const CertContext& certificate, CertAddDisposition disposition) override {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = certificates_.find(certificate.Thumbprint());
    if (it != certificates_.end()) {
      if (disposition == CertAddDisposition::New) {
        SetLastError(kCryptEExists);
        return nullptr;
      }
      if (disposition == CertAddDisposition::UseExisting) return Copy(*it->second);
    }
    auto stored = certificate.WithStore(certificate.Properties(), nullptr);
    certificates_[certificate.Thumbprint()] = stored;
    ++changes_;
    return Copy(*stored);
  }

  bool Remove(const std::string& thumbprint) override {
    std::lock_guard<std::mutex> guard(lock_);
    changes_ += certificates_.erase(thumbprint);
    return true;
  }

  std::string ChangeStamp() override {
    std::lock_guard<std::mutex> guard(lock_);
    return std::to_string(reinterpret_cast<uintptr_t>(this)) + ":" + std::to_string(changes_);
  }

 private:
  CertContextPtr Copy(const CertContext& stored) {
    return stored.WithStore(stored.Properties(), shared_from_this());
  }

  std::mutex lock_;
  std::map<std::string, CertContextPtr> certificates_;  // held without a store reference
  uint64_t changes_ = 0;
};

}  // namespace

std::shared_ptr<CertStoreBackend> MakeMemoryBackend() { return std::make_shared<MemoryBackend>(); }

}  // namespace Platform
