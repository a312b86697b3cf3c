#include "TokenObjects.h"

#include <openssl/x509v3.h>

#include "SharedUtilities.h"

std::string CertificateObject::GetThumbprint() const {
  return certificate ? CertificateThumbprintHex(certificate.get()) : std::string();
}

bool IsSameObjectId(const std::string* id, const std::string& other) {
  return id && *id == other;
}

namespace {
template <typename Map>
auto* FindIn(const Map& map, CK_OBJECT_HANDLE handle) {
  auto it = map.find(handle);
  return it == map.end() ? nullptr : it->second.get();
}
}  // namespace

CertificateObject* TokenObjects::FindCertificate(CK_OBJECT_HANDLE h) const {
  return FindIn(certificates, h);
}
PublicKeyObject* TokenObjects::FindPublicKey(CK_OBJECT_HANDLE h) const {
  return FindIn(publicKeys, h);
}
PrivateKeyObject* TokenObjects::FindPrivateKey(CK_OBJECT_HANDLE h) const {
  return FindIn(privateKeys, h);
}
DataObject* TokenObjects::FindDataObject(CK_OBJECT_HANDLE h) const {
  return FindIn(dataObjects, h);
}

CertificateObject* TokenObjects::AddCertificate(CK_OBJECT_HANDLE handle, const std::string& id,
                                                const std::string& label,
                                                std::vector<uint8_t> value) {
  auto record = std::make_unique<CertificateObject>();
  record->id = std::make_unique<std::string>(id);
  record->label = label;
  record->valueLength = static_cast<uint32_t>(value.size());
  record->value = std::move(value);
  const unsigned char* p = record->value.data();
  record->certificate.reset(d2i_X509(nullptr, &p, static_cast<long>(record->value.size())));
  if (record->certificate) {
    X509_check_purpose(record->certificate.get(), -1, 0);  // caches the extensions
    record->publicKey.reset(X509_get_pubkey(record->certificate.get()));
  }
  auto* raw = record.get();
  certificates[handle] = std::move(record);
  return raw;
}

PublicKeyObject* TokenObjects::AddPublicKey(CK_OBJECT_HANDLE handle, const std::string& id,
                                            const std::string& label, bool signOnly) {
  auto record = std::make_unique<PublicKeyObject>();
  record->id = std::make_unique<std::string>(id);
  record->label = label;
  record->signOnly = signOnly;
  auto* raw = record.get();
  publicKeys[handle] = std::move(record);
  return raw;
}

PrivateKeyObject* TokenObjects::AddPrivateKey(CK_OBJECT_HANDLE handle, const std::string& id,
                                              const std::string& label, bool extractable) {
  auto record = std::make_unique<PrivateKeyObject>();
  record->id = std::make_unique<std::string>(id);
  record->label = label;
  record->extractable = extractable;
  auto* raw = record.get();
  privateKeys[handle] = std::move(record);
  return raw;
}

DataObject* TokenObjects::AddDataObject(CK_OBJECT_HANDLE handle, const std::string& label,
                                        const std::string& application,
                                        std::vector<uint8_t> value) {
  auto record = std::make_unique<DataObject>();
  record->label = label;
  record->application = application;
  record->valueLength = static_cast<uint32_t>(value.size());
  record->value = std::move(value);
  auto* raw = record.get();
  dataObjects[handle] = std::move(record);
  return raw;
}
