// The smart-card providers through which a card without a PKCS#11 type shows its
// certificates: a cryptographic service provider (a key container opened on the reader)
// or a key storage provider. They have no counterpart on this platform: the system's
// implementation knows none, whatever the card database names. Tests install their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/CertStore.h"
#include "platform/Library.h"

inline constexpr uint32_t PROV_RSA_FULL = 1;
inline constexpr uint32_t PP_USER_CERTSTORE = 42;
inline constexpr uint32_t CRYPT_VERIFYCONTEXT = 0xF0000000u;
inline constexpr uint32_t NCRYPT_SILENT_FLAG = 0x40;

// A key container opened through a cryptographic service provider.
class CspContext {
 public:
  virtual ~CspContext() = default;
  // The PP_USER_CERTSTORE parameter: the card's own store; null when there is none.
  virtual Platform::CertStorePtr GetUserCertStore() = 0;
};

// An opened key storage provider.
class KeyStorageProvider {
 public:
  virtual ~KeyStorageProvider() = default;
  // The "SmartCardUserCertStore" property (read silently); null when there is none.
  virtual Platform::CertStorePtr GetUserCertStore() = 0;
};

struct InstalledProvider {
  std::string name;
  uint32_t type = 0;
};

class SmartCardProviders {
 public:
  virtual ~SmartCardProviders() = default;
  // The installed cryptographic service providers, in enumeration order.
  virtual std::vector<InstalledProvider> EnumProviders() = 0;
  // Null when the provider cannot be opened.
  virtual std::unique_ptr<KeyStorageProvider> OpenStorageProvider(const std::string& name) = 0;
  // Null with the thread's last error set when the container cannot be opened.
  virtual std::unique_ptr<CspContext> AcquireContext(const std::string& container,
                                                     const std::string& provider, uint32_t type,
                                                     uint32_t flags) = 0;
};

// The installed implementation: the system's unless a test installed another.
SmartCardProviders& GetSmartCardProviders();
// Null brings the system's back.
void SetSmartCardProviders(std::shared_ptr<SmartCardProviders> providers);

// The key storage functions of "ncrypt.dll", looked up at run time; each null when missing.
// Destroying the object unloads the library.
struct NCryptFunctions {
  NCryptFunctions() = default;
  NCryptFunctions(NCryptFunctions&& other) noexcept;
  NCryptFunctions& operator=(NCryptFunctions&& other) noexcept;
  NCryptFunctions(const NCryptFunctions&) = delete;
  NCryptFunctions& operator=(const NCryptFunctions&) = delete;
  ~NCryptFunctions();

  bool Complete() const;

  Platform::ModuleHandle module = nullptr;
  void* NCryptOpenStorageProvider = nullptr;
  void* NCryptFreeObject = nullptr;
  void* NCryptEnumKeys = nullptr;
  void* NCryptFreeBuffer = nullptr;
  void* NCryptOpenKey = nullptr;
  void* NCryptGetProperty = nullptr;
};

NCryptFunctions LoadNCryptFunctions();
