#include "SmartCardProviders.h"

#include <mutex>
#include <utility>

#include "platform/LastError.h"

namespace {

class SystemSmartCardProviders : public SmartCardProviders {
 public:
  // No cryptographic service provider exists on this platform. The card database may
  // still name one for a card; claiming it here would only make every registration fail
  // to open it, so the provider path finds none and stays quiet.
  std::vector<InstalledProvider> EnumProviders() override { return {}; }

  std::unique_ptr<KeyStorageProvider> OpenStorageProvider(const std::string&) override {
    // The key storage functions would come from "ncrypt.dll", which never exists here; even
    // if a library of that name turned up, its store handles would mean nothing to us, so
    // it is not even looked for.
    return nullptr;
  }

  std::unique_ptr<CspContext> AcquireContext(const std::string&, const std::string&, uint32_t,
                                             uint32_t) override {
    Platform::SetLastError(Platform::kNteProvDllNotFound);
    return nullptr;
  }
};

std::mutex g_lock;
std::shared_ptr<SmartCardProviders> g_installed;

}  // namespace

SmartCardProviders& GetSmartCardProviders() {
  static SystemSmartCardProviders system;
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_installed) return *g_installed;
  return system;
}

void SetSmartCardProviders(std::shared_ptr<SmartCardProviders> providers) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_installed = std::move(providers);
}

NCryptFunctions::NCryptFunctions(NCryptFunctions&& other) noexcept { *this = std::move(other); }

NCryptFunctions& NCryptFunctions::operator=(NCryptFunctions&& other) noexcept {
  if (this != &other) {
    if (module) Platform::FreeLibrary(module);
    module = std::exchange(other.module, nullptr);
    NCryptOpenStorageProvider = std::exchange(other.NCryptOpenStorageProvider, nullptr);
    NCryptFreeObject = std::exchange(other.NCryptFreeObject, nullptr);
    NCryptEnumKeys = std::exchange(other.NCryptEnumKeys, nullptr);
    NCryptFreeBuffer = std::exchange(other.NCryptFreeBuffer, nullptr);
    NCryptOpenKey = std::exchange(other.NCryptOpenKey, nullptr);
    NCryptGetProperty = std::exchange(other.NCryptGetProperty, nullptr);
  }
  return *this;
}

NCryptFunctions::~NCryptFunctions() {
  if (module) Platform::FreeLibrary(module);
}

bool NCryptFunctions::Complete() const {
  return module && NCryptOpenStorageProvider && NCryptFreeObject && NCryptEnumKeys &&
         NCryptFreeBuffer && NCryptOpenKey && NCryptGetProperty;
}

NCryptFunctions LoadNCryptFunctions() {
  NCryptFunctions functions;
  functions.module = Platform::LoadLibrary("ncrypt.dll");
  if (!functions.module) return functions;
  functions.NCryptOpenStorageProvider = Platform::GetProcAddress(functions.module, "NCryptOpenStorageProvider");
  functions.NCryptFreeObject = Platform::GetProcAddress(functions.module, "NCryptFreeObject");
  functions.NCryptEnumKeys = Platform::GetProcAddress(functions.module, "NCryptEnumKeys");
  functions.NCryptFreeBuffer = Platform::GetProcAddress(functions.module, "NCryptFreeBuffer");
  functions.NCryptOpenKey = Platform::GetProcAddress(functions.module, "NCryptOpenKey");
  functions.NCryptGetProperty = Platform::GetProcAddress(functions.module, "NCryptGetProperty");
  return functions;
}
