#include "Registration.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include <openssl/x509v3.h>

#include "EventLog.h"
#include "SharedUtilities.h"
#include "SmartCardProviders.h"
#include "StoreHolders.h"
#include "platform/LastError.h"
#include "platform/Profile.h"

namespace {

// Thumbprints are compared in lower case.
std::string LowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return text;
}

constexpr const char* kBit4IdProvider = "Bit4id Universal Middleware Provider";
constexpr const char* kBit4IdAuthProvider = "Bit4id Universal Middleware Provider AUTH";
constexpr const char* kBit4IdDsProvider = "Bit4id Universal Middleware Provider DS";
constexpr const char* kGemaltoProvider = "Gemalto Classic Card CSP";
constexpr const char* kETokenProvider = "eToken Base Cryptographic Provider";
constexpr const char* kSafeNetKsp = "SafeNet Smart Card Key Storage Provider";
constexpr const char* kDefaultContainer = "Default Key Container";
constexpr CK_ATTRIBUTE_TYPE kETokenKeyNameAttribute = 0x80001301;
constexpr std::time_t kExpiryWarning = 14 * 24 * 3600;

std::string Format(const char* format, const std::string& a, const std::string& b) {
  char buffer[4096];
  std::snprintf(buffer, sizeof buffer, format, a.c_str(), b.c_str());
  return buffer;
}

std::string LastErrorText() { return Win32ErrorText(Platform::GetLastError()); }

// The identifier bytes as text: printable characters as themselves, others as %XX.
std::string DecodeBit4IdIdentifier(const std::string& idHex) {
  std::string text;
  for (size_t i = 0; i + 1 < idHex.size(); i += 2) {
    uint8_t byte = 0;
    if (!HexToBytesInto(&byte, 1, idHex.substr(i, 2))) break;
    if (byte >= 0x20 && byte <= 0x7E) {  // printable ASCII, whatever the locale
      text += static_cast<char>(byte);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      text += escaped;
    }
  }
  return text;
}

uint32_t KeyUsageBits(X509* certificate) {
  if (!certificate || !(X509_get_extension_flags(certificate) & EXFLAG_KUSAGE)) return 0xFFFFFFFFu;
  return X509_get_key_usage(certificate);
}

void LogAdded(const std::string& text) { LogEvent(EVENTLOG_INFORMATION_TYPE, text); }

}  // namespace

namespace {

void RegisterContext(Platform::CertContextPtr decoded, const std::string& containerName,
                     const std::string& providerName, uint32_t providerType, uint32_t keySpec,
                     Platform::CertStore* targetStore, ReaderCertificateMap& map, const std::string& readerName,
                     int& registered, int& expired, int& expiring, bool registerExpired) {
  AutoCertContext holder(std::move(decoded));
  Platform::CertContext* context = holder.Get().get();
  if (!context) return;

  const std::time_t now = std::time(nullptr);
  if (context->VerifyTimeValidity(now) > 0) {
    ++expired;
    if (!registerExpired) return;
  } else if (context->VerifyTimeValidity(now + kExpiryWarning) > 0) {
    ++expiring;
  }

  context->SetKeyProvInfo(Platform::CertKeyProvInfo{containerName, providerName, providerType, 0, keySpec});
  context->SetFriendlyName(context->SimpleDisplayName(false, 1023));

  Platform::CertContextPtr added;
  if (targetStore) {
    added = targetStore->Add(*context, Platform::CertAddDisposition::ReplaceExisting);
  } else {
    Platform::SetLastError(Platform::kErrorInvalidHandle);
  }
  if (!added) {
    LogEvent(EVENTLOG_ERROR_TYPE, Format("CertAddCertificateContextToStore error: %s", LastErrorText(), ""));
    return;
  }
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, ";KeySpec: %u;ProvType: %u", keySpec, providerType);
  LogAdded("Certificate added to the store!" + Format(" ContainerName: %s;ProvName: %s", containerName, providerName) +
           numbers);
  map[readerName].push_back(added);
  ++registered;
}

}  // namespace

void RegisterCertificateInStore(const uint8_t* der, size_t derLength, const std::string& containerName,
                                const std::string& providerName, uint32_t providerType,
                                uint32_t keySpec, Platform::CertStore* targetStore,
                                ReaderCertificateMap& map, const std::string& readerName,
                                int& registered, int& expired, int& expiring, bool registerExpired) {
  RegisterContext(Platform::CertContext::Create(der, derLength), containerName, providerName, providerType, keySpec,
                  targetStore, map, readerName, registered, expired, expiring, registerExpired);
}

bool ParseGemaltoContainerDescriptor(const std::vector<uint8_t>& value, std::string& idHex,
                                     uint32_t& keySpec) {
  if (value.size() < 2 || value[0] != 0x01) return false;
  const size_t n = value[1];
  if (value.size() < n + 4) return false;  // the identifier, then the second tag and length
  if (value[n + 2] != 0x02) return false;
  const size_t m = value[n + 3];
  if (m == 0 || m >= 4 || value.size() < n + 4 + m) return false;
  idHex = BytesToHex(value.data() + 2, n);
  keySpec = value[n + 4];
  return true;
}

void RegisterPkcs11CardCertificates(PKCS11Base* token, const TokenObjects* objects,
                                    CK_OBJECT_HANDLE certificate, Platform::CertStore* targetStore,
                                    const std::string& providerName, uint32_t providerType,
                                    const std::string& readerName, ReaderCertificateMap& map,
                                    int& registered, int& expired, int& expiring) {
  const CertificateObject* record = objects ? objects->FindCertificate(certificate) : nullptr;
  if (!record) return;

  uint32_t keySpec = Platform::kAtKeyExchange;
  std::string containerName;
  std::string provider = providerName;

  if (providerName == kBit4IdProvider) {
    provider = kBit4IdAuthProvider;
    const std::string decoded = DecodeBit4IdIdentifier(record->GetId());
    for (int i = 0; i <= 5; ++i) {
      if (decoded == "DS" + std::to_string(i)) {
        provider = kBit4IdDsProvider;
        keySpec = Platform::kAtSignature;
      }
    }
    containerName = Format("\\\\.\\%s\\%s", readerName, decoded);
  } else if (providerName == kGemaltoProvider) {
    for (const auto& [handle, data] : objects->dataObjects) {
      if (data->application != "CSP" || data->label == kDefaultContainer) continue;
      std::string idHex;
      uint32_t descriptorKeySpec = 0;
      if (!ParseGemaltoContainerDescriptor(data->value, idHex, descriptorKeySpec)) continue;
      if (!record->id || idHex != *record->id) continue;
      containerName = Format("\\\\.\\%s\\%s@GemP15-1", readerName, data->label);
      keySpec = descriptorKeySpec;
      break;
    }
  } else if (providerName == kETokenProvider || providerName == kSafeNetKsp) {
    for (const auto& [handle, key] : objects->publicKeys) {
      if (!record->id || !IsSameObjectId(key->id.get(), *record->id)) continue;
      std::string keyName;
      if (token) {
        if (auto raw = token->GetAttribute(handle, kETokenKeyNameAttribute))
          keyName = raw->substr(0, raw->find('\0'));
      }
      containerName = Format("\\\\.\\%s\\%s", readerName, keyName);
      keySpec = key->signOnly ? Platform::kAtSignature : Platform::kAtKeyExchange;
      break;
    }
  }
  if (providerName == kSafeNetKsp) keySpec = 0;
  if (containerName.empty() || provider.empty()) return;

  const bool registerExpired = IsEncryptionOnlyKeyUsage(KeyUsageBits(record->certificate.get()));
  // The certificate the card's objects decoded goes into the store as it is.
  Platform::CertContextPtr context =
      record->certificate
          ? Platform::CertContext::Sharing(record->certificate.get(), record->value.data(), record->value.size())
          : Platform::CertContext::Create(record->value.data(), record->value.size());
  RegisterContext(std::move(context), containerName, provider, providerType, keySpec, targetStore, map, readerName,
                  registered, expired, expiring, registerExpired);
}

std::set<std::string> ReadRevokedKeys() {
  std::set<std::string> revoked;
  auto value = Platform::Profile().Read("", kRevokedKeys);
  if (!value || value->type != Platform::ValueType::MultiString) return revoked;
  for (const std::string& key : value->strings) {
    if (key.empty()) break;
    revoked.insert(LowerCase(key));
  }
  return revoked;
}

bool IsInRevokedKeys(const std::string& thumbprint) {
  return !thumbprint.empty() && ReadRevokedKeys().count(LowerCase(thumbprint)) != 0;
}

bool GetProviderTypeByName(const std::string& name, uint32_t& providerType) {
  for (const InstalledProvider& provider : GetSmartCardProviders().EnumProviders()) {
    if (provider.name == name) {
      providerType = provider.type;
      return true;
    }
  }
  return false;
}

void CopyCardStoreCertificates(Platform::CertStorePtr source, Platform::CertStore* targetStore,
                               ReaderCertificateMap& map, const std::string& readerName,
                               int& registered, int& expired, int& expiring) {
  AutoCertCloseStore sourceHolder(std::move(source));
  std::vector<Platform::CertContextPtr> certificates;
  if (sourceHolder.Get()) sourceHolder.Get()->Enumerate(certificates);
  const std::time_t now = std::time(nullptr);
  // Not asked of any responder here, but what is known revoked stays out by this road too.
  const std::set<std::string> revoked = certificates.empty() ? std::set<std::string>() : ReadRevokedKeys();
  for (const auto& certificate : certificates) {
    if (revoked.count(LowerCase(certificate->Thumbprint()))) {
      LogEvent(EVENTLOG_WARNING_TYPE, "A revoked certificate is not registered: " + certificate->Thumbprint());
      continue;
    }
    Platform::CertContextPtr added;
    if (targetStore) {
      added = targetStore->Add(*certificate, Platform::CertAddDisposition::ReplaceExisting);
    } else {
      Platform::SetLastError(Platform::kErrorInvalidHandle);
    }
    if (!added) {
      LogEvent(EVENTLOG_ERROR_TYPE, Format("CertAddCertificateContextToStore error: %s", LastErrorText(), ""));
      continue;
    }
    std::string text = "Certificate added to the store!";
    if (const auto& info = certificate->Properties().keyProvInfo) {
      char numbers[64];
      std::snprintf(numbers, sizeof numbers, "; ProvType: %u; KeySpec: %u", info->providerType, info->keySpec);
      text += Format(" ContainerName: %s; ProvName: %s", info->containerName, info->providerName) + numbers;
    }
    LogAdded(text);
    map[readerName].push_back(added);
    ++registered;
    if (added->VerifyTimeValidity(now) > 0) {
      ++expired;
    } else if (added->VerifyTimeValidity(now + kExpiryWarning) > 0) {
      ++expiring;
    }
  }
}

int RegisterViaCspOrKsp(const std::string& readerName, const std::string& cspName,
                        const std::string& kspName, Platform::CertStore* targetStore,
                        ReaderCertificateMap& map, int& expired, int& expiring) {
  int registered = 0;
  SmartCardProviders& providers = GetSmartCardProviders();
  if (!kspName.empty()) {
    std::unique_ptr<KeyStorageProvider> ksp = providers.OpenStorageProvider(kspName);
    if (!ksp) return 0;
    if (Platform::CertStorePtr cardStore = ksp->GetUserCertStore())
      CopyCardStoreCertificates(std::move(cardStore), targetStore, map, readerName, registered, expired, expiring);
    return registered;
  }
  if (cspName.empty()) return 0;
  const std::string container = Format("\\\\.\\%s\\", readerName, "");
  uint32_t providerType = 0;
  if (!GetProviderTypeByName(cspName, providerType)) return 0;
  AutoCryptProv csp(providers.AcquireContext(container, cspName, providerType, CRYPT_VERIFYCONTEXT));
  if (!csp.Get()) {
    LogEvent(EVENTLOG_ERROR_TYPE, Format("CryptAcquireContext error: %s", LastErrorText(), ""));
    return 0;
  }
  if (Platform::CertStorePtr cardStore = csp.Get()->GetUserCertStore())
    CopyCardStoreCertificates(std::move(cardStore), targetStore, map, readerName, registered, expired, expiring);
  return registered;
}
