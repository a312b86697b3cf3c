#include "CertificateRegistrar.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

#include "EventLog.h"
#include "RevocationChecker.h"
#include "Strings.h"
#include "X509Certificate.h"
#include "platform/Profile.h"

namespace {

constexpr const char* kRevokedKeys = "RevokedKeys";


// "RevokedKeys" is read, extended and written by registrations on two threads.
std::mutex& RevokedKeysLock() {
  static std::mutex lock;
  return lock;
}

bool BalloonsOn() { return Platform::Profile().GetDword("", "ShowBallons", 1) != 0; }

using Res::StringId;

std::string Format(StringId id, int a, int b = 0) {
  char text[256];
  std::snprintf(text, sizeof text, Res::Text(id).c_str(), a, b);
  return text;
}

// Encryption-only keys sign nothing a responder could be asked about for them.
bool EncryptionOnly(X509* certificate) {
  X509_check_purpose(certificate, -1, -1);  // fills the cached extension values
  uint32_t usage = (X509_get_extension_flags(certificate) & EXFLAG_KUSAGE) ? X509_get_key_usage(certificate)
                                                                          : UINT32_MAX;
  const uint32_t encryption = KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT;
  return (usage & encryption) != 0 && (usage & ~encryption) == 0;
}

}  // namespace

CertificateRegistrar::CertificateRegistrar(IBalloonTarget& balloons, Platform::CertStore* store,
                                           TvrServices::HttpOptions http)
    : balloons_(balloons), store_(store), http_(std::move(http)) {}

void CertificateRegistrar::RegisterCertificates(const std::string& reader, const std::string& cryptoProvider,
                                                const std::string& keyStorageProvider, PKCS11Base* token,
                                                const TokenObjects* objects) {
  LogEvent(EVENTLOG_INFORMATION_TYPE, "RegisterCertificates; Reader: " + reader + "; CryptoProvider: " +
                                          cryptoProvider + "; SmartCardKeyStorageProvider: " + keyStorageProvider);
  if (reader.empty() || (cryptoProvider.empty() && keyStorageProvider.empty())) return;

  int total = 0, registered = 0, expired = 0, expiring = 0;
  // Registered into a map of our own first: the network checks below must not hold the
  // lock that the interface thread needs.
  ReaderCertificateMap added;
  // The card's certificates reach the disk with one folder flush at the end.
  Platform::CertStore::WriteBatch batch(store_);
  if (!objects) {
    registered = RegisterViaCspOrKsp(reader, cryptoProvider, keyStorageProvider, store_, added, expired, expiring);
  } else {
    uint32_t providerType = 0;
    if (!GetProviderTypeByName(cryptoProvider, providerType)) providerType = 0;
    std::set<std::string> revoked;
    LoadRevokedKeys(revoked);
    std::unique_ptr<TvrServices::RevocationChecker> checker;
    try {
      checker = std::make_unique<TvrServices::RevocationChecker>(http_);
    } catch (const std::exception& e) {
      // No checker must not stop the registration; what is known revoked stays refused.
      LogEvent(EVENTLOG_WARNING_TYPE, std::string("Revocation check unavailable: ") + e.what());
    }
    for (const auto& [handle, record] : objects->certificates) {
      X509* certificate = record ? record->certificate.get() : nullptr;
      if (!certificate) continue;
      if (X509_check_ca(certificate) == 1) continue;
      ++total;
      if (!EncryptionOnly(certificate)) {
        bool allowed = true;
        try {
          // The token's decoded certificate, shared: it does not change while it is checked.
          const TvrX509::X509Certificate checked = TvrX509::X509Certificate::Sharing(certificate);
          allowed = checker ? checker->DoRevocationCheck(checked, revoked) : !revoked.count(checked.GetThumbprint());
        } catch (const std::exception& e) {
          LogEvent(EVENTLOG_WARNING_TYPE, std::string("Revocation check failed: ") + e.what());
        }
        ERR_clear_error();
        if (!allowed) continue;
      }
      EVP_PKEY* key = X509_get0_pubkey(certificate);
      if (key && EVP_PKEY_get_base_id(key) == EVP_PKEY_EC)
        RegisterPkcs11CardCertificates(token, objects, handle, store_, keyStorageProvider, 0, reader, added,
                                       registered, expired, expiring);
      else
        RegisterPkcs11CardCertificates(token, objects, handle, store_, cryptoProvider, providerType, reader, added,
                                       registered, expired, expiring);
    }
    {
      std::lock_guard<std::mutex> guard(RevokedKeysLock());
      // Another registration may have added its own meanwhile: keep both. A value that
      // already says exactly this is not written again: every write is a flush to disk.
      auto stored = Platform::Profile().Read("", kRevokedKeys);
      LoadRevokedKeys(revoked);
      const std::vector<std::string> keys(revoked.begin(), revoked.end());
      if (!stored || stored->type != Platform::ValueType::MultiString || stored->strings != keys)
        SaveRevokedKeys(revoked);
    }
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [name, contexts] : added) {
      auto& list = map_[name];
      list.insert(list.end(), contexts.begin(), contexts.end());
    }
  }
  Summarise(objects != nullptr, total, registered, expired, expiring);
}

void CertificateRegistrar::Summarise(bool pkcs11, int total, int registered, int expired, int expiring) {
  if (!BalloonsOn()) return;
  const std::string title = Res::Text(StringId::RegistrationTitle);
  if (pkcs11 && total > 0) {
    if (registered == total)
      balloons_.QueueBalloon(title, Format(StringId::RegistrationAllRegistered, total), kIconInformation);
    else
      balloons_.QueueBalloon(title, Format(StringId::RegistrationSomeFailed, total, total - registered), kIconError);
  } else if (registered > 0) {
    balloons_.QueueBalloon(title, Format(StringId::RegistrationCountRegistered, registered), kIconInformation);
  } else {
    balloons_.QueueBalloon(title, Res::Text(StringId::RegistrationNothingRegistered), kIconWarning);
  }
  const std::string notice = Res::Text(StringId::RegistrationNoticeTitle);
  if (expired > 0)
    balloons_.QueueBalloon(notice,
                           expired == 1 ? Res::Text(StringId::RegistrationOneExpired)
                                        : Format(StringId::RegistrationSomeExpired, expired),
                           kIconError);
  if (expiring > 0)
    balloons_.QueueBalloon(notice,
                           expiring == 1 ? Res::Text(StringId::RegistrationOneExpiring)
                                         : Format(StringId::RegistrationSomeExpiring, expiring),
                           kIconWarning);
}

void CertificateRegistrar::UnregisterCertificates(const std::string& reader) {
  std::vector<Platform::CertContextPtr> contexts;
  {
    std::lock_guard<std::mutex> guard(lock_);
    contexts.swap(map_[reader]);
  }
  if (contexts.empty()) return;
  int count = 0, deleted = 0;
  for (const auto& context : contexts) {
    ++count;
    if (Platform::DeleteCertificateFromStore(context)) ++deleted;
  }
  if (!BalloonsOn()) return;
  const std::string title = Res::Text(StringId::RegistrationTitle);
  if (deleted == count)
    balloons_.QueueBalloon(title, Format(StringId::RegistrationAllUnregistered, count), kIconInformation);
  else
    balloons_.QueueBalloon(title, Format(StringId::RegistrationSomeUnregisterFailed, count, count - deleted),
                           kIconError);
}

void CertificateRegistrar::UnregisterAll() {
  std::vector<std::string> readers;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& entry : map_) readers.push_back(entry.first);
  }
  for (const std::string& reader : readers) UnregisterCertificates(reader);
}

std::vector<std::string> CertificateRegistrar::RegisteredFor(const std::string& reader) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> thumbprints;
  auto found = map_.find(reader);
  if (found != map_.end())
    for (const auto& context : found->second) thumbprints.push_back(context->Thumbprint());
  return thumbprints;
}

bool CertificateRegistrar::LoadRevokedKeys(std::set<std::string>& revoked) {
  auto value = Platform::Profile().Read("", kRevokedKeys);
  if (!value || value->type != Platform::ValueType::MultiString) return true;
  for (const std::string& key : value->strings) {
    if (key.empty()) break;
    revoked.insert(key);
  }
  return true;
}

bool CertificateRegistrar::SaveRevokedKeys(const std::set<std::string>& revoked) {
  return Platform::Profile().WriteMultiString("", kRevokedKeys,
                                              std::vector<std::string>(revoked.begin(), revoked.end()));
}
