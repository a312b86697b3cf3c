// Puts a card's certificates into the personal store on insertion (after the revocation
// check) and takes exactly those out again when the card leaves. Safe to call from the
// monitor thread and the interface thread at once.
#pragma once

#include <cstddef>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "HttpClient.h"
#include "MonitorHost.h"
#include "Registration.h"
#include "TokenObjects.h"

class CertificateRegistrar {
 public:
  // `store` is the personal store ("MY"), kept open by the caller.
  CertificateRegistrar(IBalloonTarget& balloons, Platform::CertStore* store,
                       TvrServices::HttpOptions http = TvrServices::HttpOptions());

  // With objects: the card's PKCS#11 certificates through `token`; without: the card's
  // own store through its providers.
  void RegisterCertificates(const std::string& reader, const std::string& cryptoProvider,
                            const std::string& keyStorageProvider, PKCS11Base* token,
                            const TokenObjects* objects);
  void UnregisterCertificates(const std::string& reader);
  // Every reader that has certificates registered.
  void UnregisterAll();

  // Thumbprints of the store's contexts registered for the reader.
  std::vector<std::string> RegisteredFor(const std::string& reader) const;

  // "RevokedKeys" of the profile: 40-digit lower-case thumbprints.
  static bool LoadRevokedKeys(std::set<std::string>& revoked);
  static bool SaveRevokedKeys(const std::set<std::string>& revoked);

 private:
  void Summarise(bool pkcs11, int total, int registered, int expired, int expiring);

  IBalloonTarget& balloons_;
  Platform::CertStore* store_;
  TvrServices::HttpOptions http_;
  mutable std::mutex lock_;
  ReaderCertificateMap map_;
};
