#include "VendorTokens.h"

#include <cstdio>

#include "CardRecognition.h"
#include "EventLog.h"
#include "PKCS11Versions.h"
#include "Strings.h"

namespace {

std::string Format(const std::string& pattern, const std::string& argument) {
  std::string out;
  const size_t at = pattern.find("%s");
  if (at == std::string::npos) return pattern;
  out = pattern.substr(0, at) + argument + pattern.substr(at + 2);
  return out;
}

// Cryptoki 2.40 kept the function list of 2.01, and 3.x modules hand out that list (their
// own is asked for by another name): such a module is used through the newest class.
bool UsedAsNewestVersion(const std::string& version) {
  return version == "2.40" || (version.size() == 4 && version.compare(0, 2, "3.") == 0);
}

std::unique_ptr<PKCS11Base> CreateForVersion(const std::string& version,
                                             const VendorModuleEntry* row, ModuleHandle module) {
  if (version == "2.01") return PKCS11V201::Create(row, module);
  if (version == "2.10") return PKCS11V210::Create(row, module);
  if (version == "2.11") return PKCS11V211::Create(row, module);
  if (version == "2.20") return PKCS11V220::Create(row, module);
  if (UsedAsNewestVersion(version)) return PKCS11V220::Create(row, module);
  return nullptr;
}

}  // namespace

TokenMap LoadVendorTokens(IUserPort& port,
                          const std::function<void(const VendorModuleEntry&)>& beforeRow) {
  TokenMap tokens;
  for (const VendorModuleEntry& row : VendorModuleTable) {
    if (beforeRow) beforeRow(row);
    const std::string moduleFile = Platform::SharedLibraryFileName(row.moduleFile);

    // One load serves the version probe and the token object: the probe finalises what
    // it initialised, so the token object starts the module afresh all the same.
    ModuleHandle module = LoadVendorModule(&row);
    if (!module) continue;
    const std::string version = GetCryptokiVersion(module);
    if (version.empty()) {
      Platform::FreeLibrary(module);
      continue;
    }
    if (UsedAsNewestVersion(version))
      LogEvent(EVENTLOG_INFORMATION_TYPE, "Cryptoki version " + version + " used as 2.20: " + moduleFile);
    std::unique_ptr<PKCS11Base> token = CreateForVersion(version, &row, module);
    if (!token) {
      Platform::FreeLibrary(module);
      LogEvent(EVENTLOG_WARNING_TYPE,
               "Unsupported Cryptoki version " + version + ": " + moduleFile);
      continue;
    }
    if (!token->IsValid()) {
      port.MessageBox(Format(Res::Text(Res::kString240), moduleFile), "",
                      Platform::kMbIconError);
      continue;  // the token object unloads its module
    }
    if (token->IsInitialized()) {
      LogEvent(EVENTLOG_INFORMATION_TYPE, "Succeeded to initialize: " + moduleFile);
    } else {
      LogEvent(EVENTLOG_ERROR_TYPE, "Failed to initialize: " + moduleFile);
    }
    tokens.emplace(row.typeKey, std::move(token));
  }
  return tokens;
}

TokenRefMap RefsOf(const TokenMap& tokens) {
  TokenRefMap refs;
  for (const auto& [key, token] : tokens) refs.emplace(key, token.get());
  return refs;
}
