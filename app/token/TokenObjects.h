// Every object of a token, as PKCS11Base::ReadObjects reads them: four maps from object
// handle to record, iterated in ascending handle order. The records hold copies, never
// pointers into the module, and own everything they hold.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "Pkcs11.h"

struct X509Deleter {
  void operator()(X509* x) const { X509_free(x); }
};
struct EvpPkeyDeleter {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;

struct TokenObject {
  virtual ~TokenObject() = default;
  std::string label;                // up to the first zero byte, at most 4095 bytes
  std::unique_ptr<std::string> id;  // CKA_ID as lower-case hex; null for data objects
  std::unique_ptr<uint32_t> size;   // C_GetObjectSize; null when the module gave none

  std::string GetId() const { return id ? *id : std::string(); }
};

struct CertificateObject : TokenObject {
  uint32_t valueLength = 0;
  std::vector<uint8_t> value;  // DER
  X509Ptr certificate;         // null when the value does not decode
  EvpPkeyPtr publicKey;        // the certificate's key

  std::string GetThumbprint() const;
};

struct PublicKeyObject : TokenObject {
  bool signOnly = false;  // verify, but neither encrypt nor wrap
  EvpPkeyPtr publicKey;   // RSA or EC; null for other types or missing parts
};

struct PrivateKeyObject : TokenObject {
  bool extractable = false;
};

struct DataObject : TokenObject {
  std::string application;     // up to the first zero byte, at most 4095 bytes
  uint32_t valueLength = 0;
  std::vector<uint8_t> value;  // empty when the length is 0
};

bool IsSameObjectId(const std::string* id, const std::string& other);

class TokenObjects {
 public:
  TokenObjects() = default;
  TokenObjects(const TokenObjects&) = delete;
  TokenObjects& operator=(const TokenObjects&) = delete;

  std::map<CK_OBJECT_HANDLE, std::unique_ptr<CertificateObject>> certificates;
  std::map<CK_OBJECT_HANDLE, std::unique_ptr<PublicKeyObject>> publicKeys;
  std::map<CK_OBJECT_HANDLE, std::unique_ptr<PrivateKeyObject>> privateKeys;
  std::map<CK_OBJECT_HANDLE, std::unique_ptr<DataObject>> dataObjects;

  CertificateObject* FindCertificate(CK_OBJECT_HANDLE handle) const;
  PublicKeyObject* FindPublicKey(CK_OBJECT_HANDLE handle) const;
  PrivateKeyObject* FindPrivateKey(CK_OBJECT_HANDLE handle) const;
  DataObject* FindDataObject(CK_OBJECT_HANDLE handle) const;

  // Builders for ReadObjects. A handle already present is replaced.
  CertificateObject* AddCertificate(CK_OBJECT_HANDLE handle, const std::string& id,
                                    const std::string& label, std::vector<uint8_t> value);
  PublicKeyObject* AddPublicKey(CK_OBJECT_HANDLE handle, const std::string& id,
                                const std::string& label, bool signOnly);
  PrivateKeyObject* AddPrivateKey(CK_OBJECT_HANDLE handle, const std::string& id,
                                  const std::string& label, bool extractable);
  DataObject* AddDataObject(CK_OBJECT_HANDLE handle, const std::string& label,
                            const std::string& application, std::vector<uint8_t> value);
};

// The handle of the first record (in handle order) whose id equals the text; 0 for none.
template <typename Map>
CK_OBJECT_HANDLE FindObjectHandleById(const Map& objects, const std::string& id) {
  for (const auto& [handle, record] : objects)
    if (IsSameObjectId(record->id.get(), id)) return handle;
  return 0;
}
