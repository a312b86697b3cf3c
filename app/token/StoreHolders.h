// Holders that release one certificate-store handle when destroyed. Each does nothing for
// a null handle and forgets the handle only when the release succeeded.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "SmartCardProviders.h"
#include "platform/CertStore.h"

class AutoCertContext {
 public:
  explicit AutoCertContext(Platform::CertContextPtr context = nullptr) : context_(std::move(context)) {}
  ~AutoCertContext() { context_.reset(); }
  AutoCertContext(const AutoCertContext&) = delete;
  AutoCertContext& operator=(const AutoCertContext&) = delete;
  const Platform::CertContextPtr& Get() const { return context_; }

 private:
  Platform::CertContextPtr context_;
};

class AutoCertCloseStore {
 public:
  explicit AutoCertCloseStore(Platform::CertStorePtr store = nullptr, uint32_t flags = 0)
      : store_(std::move(store)), flags_(flags) {}
  virtual ~AutoCertCloseStore() {
    if (store_ && store_->Close()) store_.reset();
  }
  AutoCertCloseStore(const AutoCertCloseStore&) = delete;
  AutoCertCloseStore& operator=(const AutoCertCloseStore&) = delete;
  Platform::CertStore* Get() const { return store_.get(); }
  uint32_t Flags() const { return flags_; }

 private:
  Platform::CertStorePtr store_;
  uint32_t flags_;
};

class AutoCryptProv {
 public:
  explicit AutoCryptProv(std::unique_ptr<CspContext> provider = nullptr, uint32_t flags = 0)
      : provider_(std::move(provider)), flags_(flags) {}
  ~AutoCryptProv() { provider_.reset(); }
  AutoCryptProv(const AutoCryptProv&) = delete;
  AutoCryptProv& operator=(const AutoCryptProv&) = delete;
  CspContext* Get() const { return provider_.get(); }
  uint32_t Flags() const { return flags_; }

 private:
  std::unique_ptr<CspContext> provider_;
  uint32_t flags_;
};
