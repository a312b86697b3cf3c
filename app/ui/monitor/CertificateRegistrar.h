// Puts a card's certificates into the personal store on insertion (after the revocation
// check) and takes exactly those out again when the card leaves. Safe to call from the
// monitor thread and the interface thread at once: a card that leaves while its
// certificates are being registered leaves none of them behind.
//
// With a record file (KeepRecord), the thumbprints of what is registered are kept on disk
// as well, written only when they change: before a certificate goes into the store (at the
// latest with the store's own flush) and after it left it, so that what a run killed or
// crashed left registered is known and taken out at the next start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
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

  // From now on keeps the record in the file at `path`. First takes out of the store
  // what the file lists: an earlier run left it there (call before detection starts; the
  // cards present are registered again by their insertion).
  // `earlier`: where an older version kept its record; what it lists is taken out too, and
  // the file goes once what could not be taken out lives on in the record at `path`.
  void KeepRecord(const std::string& path, const std::string& earlier = std::string());
  // The program's record: .<executable>.registered in the personal store's folder, so that
  // it reaches the disk with the store's own flush.
  static std::string RecordPath();
  // Where older versions kept it: $XDG_DATA_HOME/Tavrenic/<executable>.registered.
  static std::string EarlierRecordPath();

  // With objects: the card's PKCS#11 certificates through `token`; without: the card's
  // own store through its providers. Stops, without a balloon, when the reader is
  // unregistered meanwhile (the card left).
  void RegisterCertificates(const std::string& reader, const std::string& cryptoProvider,
                            const std::string& keyStorageProvider, PKCS11Base* token,
                            const TokenObjects* objects);
  // Deletes the reader's certificates from the store; a registration for the reader still
  // running adds nothing more.
  void UnregisterCertificates(const std::string& reader);
  // Every reader that has certificates registered or a registration running.
  void UnregisterAll();
  // The program ends: every certificate registered, and every one a registration in
  // flight may have added, leaves the store, and the record is emptied. File work only:
  // it never waits for a registration that is inside a card or network call. From now on
  // nothing is registered; a registration step that still adds takes its own out again.
  void EndAll();
  // No registration step is between its check and its addition to the store.
  bool Quiet() const;

  // Thumbprints of the store's contexts registered for the reader.
  std::vector<std::string> RegisteredFor(const std::string& reader) const;

  // "RevokedKeys" of the profile: 40-digit lower-case thumbprints.
  static bool LoadRevokedKeys(std::set<std::string>& revoked);
  static bool SaveRevokedKeys(const std::set<std::string>& revoked);

 private:
  void Summarise(bool pkcs11, int total, int registered, int expired, int expiring);
  // Whether the reader has seen no unregistration beyond `removals` (its count when the
  // registration began).
  bool StillWanted(const std::string& reader, uint64_t removals) const;
  // The same, with `lock_` held by the caller.
  bool StillWantedLocked(const std::string& reader, uint64_t removals) const;
  // Keeps what a step added; after the end takes it out of the store again (false).
  bool Merge(ReaderCertificateMap& added);
  // Writes the record when it changed: the registered thumbprints, those about to be, and
  // leftovers of an earlier run that could not be deleted.
  void SaveRecord();

  IBalloonTarget& balloons_;
  Platform::CertStore* store_;
  TvrServices::HttpOptions http_;
  // One change of the store at a time, so that an unregistration and a registration step
  // for the same reader never interleave.
  std::mutex storeLock_;
  mutable std::mutex lock_;
  ReaderCertificateMap map_;
  std::map<std::string, uint64_t> removals_;     // reader -> unregistrations so far
  std::map<std::string, int> running_;           // reader -> registrations in progress
  std::multiset<std::string> pending_;           // thumbprints registrations are about to add
  std::set<std::string> leftovers_;              // an earlier run's, still in the store
  bool ended_ = false;                           // EndAll ran: nothing more is registered
  int adding_ = 0;                               // steps between their check and their merge
  std::mutex recordLock_;
  std::string recordPath_;
  std::optional<std::string> recorded_;  // the record file's contents as last written
};
