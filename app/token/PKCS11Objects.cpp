// Token information and the token's objects.
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <cstring>

#include "PKCS11Base.h"
#include "SharedUtilities.h"

namespace {

constexpr size_t kMaxTextLength = 4095;

// Bytes up to the first zero byte, at most 4095 of them.
std::string AttributeText(const std::vector<uint8_t>& bytes) {
  size_t n = 0;
  while (n < bytes.size() && n < kMaxTextLength && bytes[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(bytes.data()), n);
}

struct ClassSpec {
  CK_OBJECT_CLASS objectClass;
  const char* prefix;
};

EvpPkeyPtr BuildRsaKey(const std::vector<uint8_t>& modulus, const std::vector<uint8_t>& exponent) {
  if (modulus.empty() || exponent.empty()) return nullptr;
  BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
  BIGNUM* e = BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr);
  OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
  OSSL_PARAM* params = nullptr;
  EVP_PKEY_CTX* ctx = nullptr;
  EVP_PKEY* key = nullptr;
  if (n && e && builder && OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, n) &&
      OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, e) &&
      (params = OSSL_PARAM_BLD_to_param(builder)) &&
      (ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr)) &&
      EVP_PKEY_fromdata_init(ctx) == 1) {
    if (EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) != 1) key = nullptr;
  }
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(builder);
  BN_free(n);
  BN_free(e);
  return EvpPkeyPtr(key);
}

// A key of the curve in the DER parameters with the encoded point; null when either does
// not decode or the point is not on the curve.
EvpPkeyPtr EcKeyWithPoint(const std::vector<uint8_t>& parameters, const unsigned char* point,
                          size_t length) {
  const unsigned char* p = parameters.data();
  EvpPkeyPtr key(d2i_KeyParams(EVP_PKEY_EC, nullptr, &p, static_cast<long>(parameters.size())));
  if (!key || EVP_PKEY_set1_encoded_public_key(key.get(), point, length) != 1) return nullptr;
  return key;
}

// CKA_EC_POINT is a DER OCTET STRING holding the encoded point; some modules give the
// bare point. The two cannot be told apart by the first bytes: a bare uncompressed point
// 04 3F ... parses as a 63-byte OCTET STRING. So the wrapped reading counts only when the
// OCTET STRING spans the whole attribute and its content is a point on the curve;
// otherwise the bytes are taken as the bare point. A key whose parameters or point do not
// decode is not made at all.
EvpPkeyPtr BuildEcKey(const std::vector<uint8_t>& parameters, const std::vector<uint8_t>& point) {
  if (parameters.empty() || point.empty()) return nullptr;
  const unsigned char* q = point.data();
  ASN1_OCTET_STRING* wrapped = d2i_ASN1_OCTET_STRING(nullptr, &q, static_cast<long>(point.size()));
  EvpPkeyPtr key;
  if (wrapped && q == point.data() + point.size()) {
    key = EcKeyWithPoint(parameters, ASN1_STRING_get0_data(wrapped),
                         static_cast<size_t>(ASN1_STRING_length(wrapped)));
  }
  ASN1_OCTET_STRING_free(wrapped);
  if (!key) key = EcKeyWithPoint(parameters, point.data(), point.size());
  return key;
}

}  // namespace

std::unique_ptr<TokenInfo> PKCS11Base::GetTokenInfo() {
  if (!CheckFunctionList()) return nullptr;
  CK_TOKEN_INFO info;
  std::memset(&info, 0, sizeof info);
  CK_RV rv = Call(GetFunctionList()->C_GetTokenInfo, GetSlot(), &info);
  if (rv != CKR_OK) {
    LogError("GETTOKENINFO ERROR! Error code: %08x", Rv32(rv));
    return nullptr;
  }
  auto result = std::make_unique<TokenInfo>();
  const CK_FLAGS f = info.flags;
  result->rng = f & CKF_RNG;
  result->writeProtected = f & CKF_WRITE_PROTECTED;
  result->loginRequired = f & CKF_LOGIN_REQUIRED;
  result->userPinInitialized = f & CKF_USER_PIN_INITIALIZED;
  result->protectedAuthenticationPath = f & CKF_PROTECTED_AUTHENTICATION_PATH;
  if (GetGeneration() != Generation::V201) {
    result->userPinCountLow = f & CKF_USER_PIN_COUNT_LOW;
    result->userPinFinalTry = f & CKF_USER_PIN_FINAL_TRY;
    result->userPinLocked = f & CKF_USER_PIN_LOCKED;
    result->userPinToBeChanged = f & CKF_USER_PIN_TO_BE_CHANGED;
    result->soPinCountLow = f & CKF_SO_PIN_COUNT_LOW;
    result->soPinFinalTry = f & CKF_SO_PIN_FINAL_TRY;
    result->soPinLocked = f & CKF_SO_PIN_LOCKED;
    result->soPinToBeChanged = f & CKF_SO_PIN_TO_BE_CHANGED;
  }
  result->label = FixedText(info.label, sizeof info.label);
  result->manufacturerId = FixedText(info.manufacturerID, sizeof info.manufacturerID);
  result->model = FixedText(info.model, sizeof info.model);
  result->serialNumber = FixedText(info.serialNumber, sizeof info.serialNumber);
  result->flags = static_cast<uint32_t>(f);
  result->totalPublicMemory = static_cast<uint32_t>(info.ulTotalPublicMemory);
  result->freePublicMemory = static_cast<uint32_t>(info.ulFreePublicMemory);
  result->totalPrivateMemory = static_cast<uint32_t>(info.ulTotalPrivateMemory);
  result->freePrivateMemory = static_cast<uint32_t>(info.ulFreePrivateMemory);
  result->maxPinLen = static_cast<uint32_t>(info.ulMaxPinLen);
  result->minPinLen = static_cast<uint32_t>(info.ulMinPinLen);
  result->hardwareVersion = info.hardwareVersion;
  result->firmwareVersion = info.firmwareVersion;
  return result;
}

// Reads byte-string attributes of one object: a length query, then the values. False
// when either call fails or a length is unusable.
bool PKCS11Base::ReadByteAttributes(CK_OBJECT_HANDLE object, CK_ATTRIBUTE* attributes,
                                    size_t count, std::vector<std::vector<uint8_t>>& values,
                                    CK_RV& rv) {
  // Fixed-size fields (those with a value pointer) are filled in place by the second call.
  std::vector<CK_ATTRIBUTE> query(attributes, attributes + count);
  for (auto& a : query) a.pValue = nullptr;
  rv = Call(GetFunctionList()->C_GetAttributeValue, GetSession(), object, query.data(),
            static_cast<CK_ULONG>(count));
  if (rv != CKR_OK) return false;
  values.assign(count, {});
  for (size_t i = 0; i < count; ++i) {
    if (attributes[i].pValue) continue;
    if (query[i].ulValueLen == CK_UNAVAILABLE_INFORMATION || query[i].ulValueLen > kMaxAttributeLength) {
      rv = CKR_ATTRIBUTE_VALUE_INVALID;
      return false;
    }
    values[i].resize(query[i].ulValueLen);
    attributes[i].ulValueLen = query[i].ulValueLen;
  }
  for (size_t i = 0; i < count; ++i)
    if (!attributes[i].pValue) attributes[i].pValue = values[i].empty() ? nullptr : values[i].data();
  rv = Call(GetFunctionList()->C_GetAttributeValue, GetSession(), object, attributes,
            static_cast<CK_ULONG>(count));
  if (rv != CKR_OK) return false;
  for (size_t i = 0; i < count; ++i)
    if (attributes[i].pValue == values[i].data())
      values[i].resize(std::min<CK_ULONG>(attributes[i].ulValueLen, values[i].size()));
  return true;
}

std::unique_ptr<TokenObjects> PKCS11Base::ReadObjects() {
  static const std::atomic<bool> never{false};
  return ReadObjectsUnlessStopped(never);
}

std::unique_ptr<TokenObjects> PKCS11Base::ReadObjectsUnlessStopped(const std::atomic<bool>& stop) {
  auto objects = std::make_unique<TokenObjects>();
  if (!CheckFunctionList()) return objects;
  CK_FUNCTION_LIST* fl = GetFunctionList();
  const ClassSpec classes[] = {{CKO_CERTIFICATE, "CERTIFICATE"},
                               {CKO_PUBLIC_KEY, "PUBLIC KEY"},
                               {CKO_PRIVATE_KEY, "PRIVATE KEY"},
                               {CKO_DATA, "DATA"}};
  // One search at a time per session: keep the module to ourselves for the whole read.
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  for (const ClassSpec& spec : classes) {
    if (stop) return objects;
    CK_OBJECT_CLASS objectClass = spec.objectClass;
    CK_ATTRIBUTE search = {CKA_CLASS, &objectClass, sizeof objectClass};
    CK_RV rv = Call(fl->C_FindObjectsInit, GetSession(), &search, CK_ULONG(1));
    if (rv != CKR_OK) {
      LogError("%s FindObjectsInit ERROR! Error code: %08x", spec.prefix, Rv32(rv));
      continue;
    }
    while (!stop) {
      CK_OBJECT_HANDLE handle = 0;
      CK_ULONG found = 0;
      rv = Call(fl->C_FindObjects, GetSession(), &handle, CK_ULONG(1), &found);
      if (rv != CKR_OK) {
        LogError("%s FindObjects ERROR! Error code: %08x", spec.prefix, Rv32(rv));
        break;
      }
      if (found == 0) break;
      ReadOneObject(*objects, spec.objectClass, spec.prefix, handle);
    }
    rv = Call(fl->C_FindObjectsFinal, GetSession());
    if (rv != CKR_OK) LogError("%s FindObjectsFinal ERROR! Error code: %08x", spec.prefix, Rv32(rv));
  }

  auto readSize = [&](auto& map) {
    for (auto& [handle, record] : map) {
      if (stop) return;
      CK_ULONG size = 0;
      if (Call(fl->C_GetObjectSize, GetSession(), handle, &size) == CKR_OK)
        record->size = std::make_unique<uint32_t>(static_cast<uint32_t>(size));
    }
  };
  readSize(objects->certificates);
  readSize(objects->publicKeys);
  readSize(objects->privateKeys);
  readSize(objects->dataObjects);
  return objects;
}

void PKCS11Base::ReadOneObject(TokenObjects& objects, CK_OBJECT_CLASS objectClass,
                               const char* prefix, CK_OBJECT_HANDLE handle) {
  std::vector<std::vector<uint8_t>> values;
  CK_RV rv = CKR_OK;
  auto failed = [&] { LogError("%s GetAttributeValue ERROR! Error code: %08x", prefix, Rv32(rv)); };

  switch (objectClass) {
    case CKO_CERTIFICATE: {
      CK_ATTRIBUTE a[] = {{CKA_ID, nullptr, 0}, {CKA_LABEL, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
      if (!ReadByteAttributes(handle, a, 3, values, rv)) return failed();
      objects.AddCertificate(handle, BytesToHex(values[0].data(), values[0].size()),
                             AttributeText(values[1]), std::move(values[2]));
      return;
    }
    case CKO_PUBLIC_KEY: {
      CK_KEY_TYPE keyType = CKK_VENDOR_DEFINED;
      CK_BBOOL encrypt = CK_FALSE, verify = CK_FALSE, wrap = CK_FALSE;
      CK_ATTRIBUTE a[] = {{CKA_ID, nullptr, 0},
                          {CKA_LABEL, nullptr, 0},
                          {CKA_KEY_TYPE, &keyType, sizeof keyType},
                          {CKA_ENCRYPT, &encrypt, sizeof encrypt},
                          {CKA_VERIFY, &verify, sizeof verify},
                          {CKA_WRAP, &wrap, sizeof wrap}};
      if (!ReadByteAttributes(handle, a, 6, values, rv)) return failed();
      const bool signOnly = !encrypt && verify && !wrap;
      PublicKeyObject* record = objects.AddPublicKey(
          handle, BytesToHex(values[0].data(), values[0].size()), AttributeText(values[1]), signOnly);
      if (keyType != CKK_RSA && keyType != CKK_EC) return;
      CK_ATTRIBUTE parts[] = {{keyType == CKK_RSA ? CKA_MODULUS : CKA_EC_PARAMS, nullptr, 0},
                              {keyType == CKK_RSA ? CKA_PUBLIC_EXPONENT : CKA_EC_POINT, nullptr, 0}};
      std::vector<std::vector<uint8_t>> partValues;
      if (!ReadByteAttributes(handle, parts, 2, partValues, rv)) return failed();
      record->publicKey = keyType == CKK_RSA ? BuildRsaKey(partValues[0], partValues[1])
                                             : BuildEcKey(partValues[0], partValues[1]);
      return;
    }
    case CKO_PRIVATE_KEY: {
      CK_BBOOL extractable = CK_FALSE;
      CK_ATTRIBUTE a[] = {{CKA_ID, nullptr, 0},
                          {CKA_LABEL, nullptr, 0},
                          {CKA_EXTRACTABLE, &extractable, sizeof extractable}};
      if (!ReadByteAttributes(handle, a, 3, values, rv)) return failed();
      objects.AddPrivateKey(handle, BytesToHex(values[0].data(), values[0].size()),
                            AttributeText(values[1]), extractable == CK_TRUE);
      return;
    }
    case CKO_DATA: {
      CK_ATTRIBUTE a[] = {
          {CKA_LABEL, nullptr, 0}, {CKA_APPLICATION, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
      if (!ReadByteAttributes(handle, a, 3, values, rv)) return failed();
      objects.AddDataObject(handle, AttributeText(values[0]), AttributeText(values[1]),
                            std::move(values[2]));
      return;
    }
    default:
      return;
  }
}
