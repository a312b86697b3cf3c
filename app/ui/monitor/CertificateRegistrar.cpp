#include "CertificateRegistrar.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>

#include "EventLog.h"
#include "RevocationChecker.h"
#include "Strings.h"
#include "X509Certificate.h"
#include "platform/CertStore.h"
#include "platform/FileHelpers.h"
#include "platform/Process.h"
#include "platform/Profile.h"

namespace {



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

// A record holds a few dozen thumbprints; anything much larger is not ours.
constexpr off_t kMaxRecordSize = 256 * 1024;

bool IsThumbprint(const std::string& text) {
  return text.size() == 40 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The thumbprints a record file lists; none when it is missing, not a regular file, too
// large or unreadable. Lines that are not thumbprints are skipped.
std::set<std::string> ReadRecord(const std::string& path) {
  std::set<std::string> thumbprints;
  Platform::AutoFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxRecordSize)
    return thumbprints;
  std::string text(static_cast<size_t>(st.st_size), '\0');
  const ssize_t n = ::read(fd.Get(), text.data(), text.size());
  if (n < 0) return thumbprints;
  text.resize(static_cast<size_t>(n));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (IsThumbprint(line)) thumbprints.insert(line);
    start = end + 1;
  }
  return thumbprints;
}

std::string RecordText(const std::set<std::string>& thumbprints) {
  std::string text;
  for (const std::string& thumbprint : thumbprints) text += thumbprint + "\n";
  return text;
}

std::vector<std::string> CandidateThumbprints(const TokenObjects* objects) {
  std::vector<std::string> thumbprints;
  if (!objects) return thumbprints;
  for (const auto& [handle, record] : objects->certificates) {
    if (!record || !record->certificate || X509_check_ca(record->certificate.get()) == 1) continue;
    const std::string thumbprint = record->GetThumbprint();
    if (!thumbprint.empty()) thumbprints.push_back(thumbprint);
  }
  return thumbprints;
}

}  // namespace

CertificateRegistrar::CertificateRegistrar(IBalloonTarget& balloons, Platform::CertStore* store,
                                           TvrServices::HttpOptions http)
    : balloons_(balloons), store_(store), http_(std::move(http)) {}

std::string CertificateRegistrar::RecordPath() {
  return Platform::CertStore::StoresDirectory() + "/MY/." + Platform::ExecutableBaseName() + ".registered";
}

std::string CertificateRegistrar::EarlierRecordPath() {
  const std::string stores = Platform::CertStore::StoresDirectory();
  return stores.substr(0, stores.rfind('/')) + "/" + Platform::ExecutableBaseName() + ".registered";
}

void CertificateRegistrar::KeepRecord(const std::string& path, const std::string& earlier) {
  std::set<std::string> left = ReadRecord(path);
  const bool hadEarlier = !earlier.empty() && earlier != path && access(earlier.c_str(), F_OK) == 0;
  if (hadEarlier) {
    const std::set<std::string> older = ReadRecord(earlier);
    left.insert(older.begin(), older.end());
  }
  std::set<std::string> kept;
  {
    std::lock_guard<std::mutex> store(storeLock_);
    for (const std::string& thumbprint : left) {
      Platform::CertContextPtr context = store_ ? store_->FindByThumbprint(thumbprint) : nullptr;
      if (!context) continue;
      if (store_->Delete(*context)) {
        LogEvent(EVENTLOG_INFORMATION_TYPE, "Certificate left registered by an earlier run removed: " + thumbprint);
      } else {
        LogEvent(EVENTLOG_ERROR_TYPE, "Certificate left registered by an earlier run not removed: " + thumbprint);
        kept.insert(thumbprint);
      }
    }
    std::lock_guard<std::mutex> guard(lock_);
    leftovers_ = std::move(kept);
  }
  {
    std::lock_guard<std::mutex> record(recordLock_);
    recordPath_ = path;
    recorded_ = RecordText(left);  // a clean end left an empty record: nothing to write
  }
  SaveRecord();
  // What could not be taken out is in the new record now (as a leftover); only then the
  // older file goes.
  if (hadEarlier) {
    bool saved = false;
    {
      std::lock_guard<std::mutex> record(recordLock_);
      std::lock_guard<std::mutex> guard(lock_);
      saved = recorded_ == RecordText(leftovers_);
    }
    if (saved && unlink(earlier.c_str()) != 0 && errno != ENOENT)
      LogEvent(EVENTLOG_ERROR_TYPE, "Failed to remove the earlier record of registered certificates: " + earlier);
  }
}

void CertificateRegistrar::SaveRecord() {
  std::lock_guard<std::mutex> record(recordLock_);
  if (recordPath_.empty()) return;
  std::set<std::string> thumbprints;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& [reader, contexts] : map_)
      for (const auto& context : contexts) thumbprints.insert(context->Thumbprint());
    // After the end the store holds none of them: the end took them out.
    if (!ended_) thumbprints.insert(pending_.begin(), pending_.end());
    thumbprints.insert(leftovers_.begin(), leftovers_.end());
  }
  const std::string text = RecordText(thumbprints);
  if (recorded_ == text) return;
  const size_t slash = recordPath_.rfind('/');
  const std::string folder = recordPath_.substr(0, slash);
  // Beside the personal store's certificates it rides the store's own folder flush.
  const bool written = store_ && folder == store_->Folder()
                           ? store_->WriteCompanionFile(recordPath_.substr(slash + 1), text)
                           : Platform::MakeDirectories(folder, 0700) &&
                                 Platform::WriteFileAtomically(recordPath_, text, 0600);
  if (written) {
    recorded_ = text;
  } else {
    LogEvent(EVENTLOG_ERROR_TYPE, "Failed to write the record of registered certificates: " + recordPath_);
  }
}

bool CertificateRegistrar::StillWanted(const std::string& reader, uint64_t removals) const {
  std::lock_guard<std::mutex> guard(lock_);
  return StillWantedLocked(reader, removals);
}

bool CertificateRegistrar::StillWantedLocked(const std::string& reader, uint64_t removals) const {
  const auto found = removals_.find(reader);
  return (found == removals_.end() ? 0 : found->second) == removals;
}

bool CertificateRegistrar::Merge(ReaderCertificateMap& added) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    --adding_;
    if (!ended_) {
      for (auto& [name, contexts] : added) {
        auto& list = map_[name];
        list.insert(list.end(), contexts.begin(), contexts.end());
      }
      return true;
    }
  }
  // The end came while this step was in the card: what it added goes again.
  for (auto& [name, contexts] : added)
    for (const auto& context : contexts) Platform::DeleteCertificateFromStore(context);
  return false;
}

void CertificateRegistrar::RegisterCertificates(const std::string& reader, const std::string& cryptoProvider,
                                                const std::string& keyStorageProvider, PKCS11Base* token,
                                                const TokenObjects* objects) {
  LogEvent(EVENTLOG_INFORMATION_TYPE, "RegisterCertificates; Reader: " + reader + "; CryptoProvider: " +
                                          cryptoProvider + "; SmartCardKeyStorageProvider: " + keyStorageProvider);
  if (reader.empty() || (cryptoProvider.empty() && keyStorageProvider.empty())) return;

  // The record names what may go into the store before it does. The card's certificates
  // reach the disk with one folder flush at the end, and the record (in the same folder,
  // written first) with them.
  const std::vector<std::string> candidates = CandidateThumbprints(objects);
  std::optional<Platform::CertStore::WriteBatch> batch;
  batch.emplace(store_);
  uint64_t removals = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (ended_) return;
    removals = removals_[reader];
    ++running_[reader];
    pending_.insert(candidates.begin(), candidates.end());
  }
  SaveRecord();

  int total = 0, registered = 0, expired = 0, expiring = 0;
  bool cardLeft = false;
  // Each step adds under the store lock, and only while the reader has not been
  // unregistered since the start: the network checks in between hold no lock.
  auto addStep = [&](const std::function<void(ReaderCertificateMap&)>& add) {
    std::lock_guard<std::mutex> store(storeLock_);
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (ended_ || !StillWantedLocked(reader, removals)) return false;
      ++adding_;
    }
    ReaderCertificateMap added;
    add(added);
    return Merge(added);
  };
  if (!objects) {
    cardLeft = !addStep([&](ReaderCertificateMap& added) {
      registered = RegisterViaCspOrKsp(reader, cryptoProvider, keyStorageProvider, store_, added, expired, expiring);
    });
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
      if (!StillWanted(reader, removals)) {
        cardLeft = true;
        break;
      }
      ++total;
      {
        bool allowed = true;
        try {
          // The token's decoded certificate, shared: it does not change while it is checked.
          const TvrX509::X509Certificate checked = TvrX509::X509Certificate::Sharing(certificate);
          // Encryption-only certificates ask no responder, but what is known revoked stays
          // out whatever its key usage.
          if (EncryptionOnly(certificate) || !checker)
            allowed = !revoked.count(checked.GetThumbprint());
          else
            allowed = checker->DoRevocationCheck(checked, revoked);
        } catch (const std::exception& e) {
          LogEvent(EVENTLOG_WARNING_TYPE, std::string("Revocation check failed: ") + e.what());
        }
        ERR_clear_error();
        if (!allowed) continue;
      }
      EVP_PKEY* key = X509_get0_pubkey(certificate);
      const bool ec = key && EVP_PKEY_get_base_id(key) == EVP_PKEY_EC;
      // A structured binding is captured through a copy (clang 14 cannot capture it by name).
      const bool added = addStep([&, handle = handle](ReaderCertificateMap& step) {
        RegisterPkcs11CardCertificates(token, objects, handle, store_, ec ? keyStorageProvider : cryptoProvider,
                                       ec ? 0 : providerType, reader, step, registered, expired, expiring);
      });
      if (!added) {
        cardLeft = true;
        break;
      }
    }
    {
      std::lock_guard<std::mutex> guard(RevokedKeysLock());
      // Another registration may have added its own meanwhile: keep both. Written only when
      // this adds to what the value lists (no value lists nothing): every write is a flush
      // to disk.
      const std::set<std::string> stored = ReadRevokedKeys();
      revoked.insert(stored.begin(), stored.end());
      if (revoked != stored) SaveRevokedKeys(revoked);
    }
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (--running_[reader] == 0) running_.erase(reader);
    for (const std::string& thumbprint : candidates) {
      const auto found = pending_.find(thumbprint);
      if (found != pending_.end()) pending_.erase(found);
    }
  }
  SaveRecord();
  batch.reset();  // on disk before the balloon says so
  if (cardLeft) {
    LogEvent(EVENTLOG_INFORMATION_TYPE, "RegisterCertificates; Reader: " + reader + "; the card left meanwhile");
    return;
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
  int count = 0, deleted = 0;
  {
    std::lock_guard<std::mutex> store(storeLock_);
    {
      std::lock_guard<std::mutex> guard(lock_);
      ++removals_[reader];
      contexts.swap(map_[reader]);
    }
    if (contexts.empty()) return;
    for (const auto& context : contexts) {
      ++count;
      if (Platform::DeleteCertificateFromStore(context)) ++deleted;
    }
  }
  SaveRecord();
  if (!BalloonsOn()) return;
  const std::string title = Res::Text(StringId::RegistrationTitle);
  if (deleted == count)
    balloons_.QueueBalloon(title, Format(StringId::RegistrationAllUnregistered, count), kIconInformation);
  else
    balloons_.QueueBalloon(title, Format(StringId::RegistrationSomeUnregisterFailed, count, count - deleted),
                           kIconError);
}

void CertificateRegistrar::UnregisterAll() {
  std::set<std::string> readers;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& entry : map_) readers.insert(entry.first);
    for (const auto& entry : running_) readers.insert(entry.first);
  }
  for (const std::string& reader : readers) UnregisterCertificates(reader);
}

void CertificateRegistrar::EndAll() {
  std::vector<Platform::CertContextPtr> contexts;
  std::set<std::string> inFlight;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (ended_) return;
    ended_ = true;
    for (auto& [reader, list] : map_) {
      contexts.insert(contexts.end(), list.begin(), list.end());
      ++removals_[reader];
    }
    for (const auto& [reader, count] : running_) ++removals_[reader];
    map_.clear();
    inFlight.insert(pending_.begin(), pending_.end());
  }
  // Not under the store lock: a registration step holds it while it reads the card.
  std::set<std::string> kept;
  for (const auto& context : contexts) {
    if (Platform::DeleteCertificateFromStore(context)) continue;
    kept.insert(context->Thumbprint());
    LogEvent(EVENTLOG_ERROR_TYPE, "Certificate not removed at the end: " + context->Thumbprint());
  }
  // A step may have added one of these and not yet said so.
  for (const std::string& thumbprint : inFlight) {
    Platform::CertContextPtr context = store_ ? store_->FindByThumbprint(thumbprint) : nullptr;
    if (context && !store_->Delete(*context)) kept.insert(thumbprint);
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    leftovers_.insert(kept.begin(), kept.end());
  }
  SaveRecord();
  LogEvent(EVENTLOG_INFORMATION_TYPE, "Certificates unregistered at the end: " + std::to_string(contexts.size()));
}

bool CertificateRegistrar::Quiet() const {
  std::lock_guard<std::mutex> guard(lock_);
  return adding_ == 0;
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
  revoked.merge(ReadRevokedKeys());
  return true;
}

bool CertificateRegistrar::SaveRevokedKeys(const std::set<std::string>& revoked) {
  return Platform::Profile().WriteMultiString("", kRevokedKeys,
                                              std::vector<std::string>(revoked.begin(), revoked.end()));
}
