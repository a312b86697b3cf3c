// Object creation, PIN changes and key operations.
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "PKCS11Base.h"
#include "SharedUtilities.h"

namespace {

CK_BBOOL kTrue = CK_TRUE;
CK_BBOOL kFalse = CK_FALSE;

// Output of a module larger than this is not a signature or an RSA block.
constexpr CK_ULONG kMaxScratchOutput = 64 * 1024;

void* TextBytes(const std::string* text) {
  return text ? const_cast<char*>(text->data()) : nullptr;
}
CK_ULONG TextLength(const std::string* text) { return text ? text->size() : 0; }

// CKA_ID bytes from hexadecimal text; nothing for a missing, empty or invalid text.
bool IdBytes(const std::string* hex, std::vector<uint8_t>& out) {
  if (!hex) return false;
  uint8_t* buffer = nullptr;
  size_t length = 0;
  bool ok = HexToBytes(*hex, &buffer, &length);
  if (ok) out.assign(buffer, buffer + length);
  std::free(buffer);
  return ok;
}

std::vector<uint8_t> BigNumBytes(const BIGNUM* bn) {
  std::vector<uint8_t> out(static_cast<size_t>(BN_num_bytes(bn)));
  if (!out.empty()) BN_bn2bin(bn, out.data());
  return out;
}

// One named big-number part of a key, as minimal big-endian bytes.
bool KeyPart(EVP_PKEY* key, const char* name, std::vector<uint8_t>& out) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) return false;
  out = BigNumBytes(bn);
  BN_clear_free(bn);
  return true;
}

bool EcParametersDer(EVP_PKEY* key, std::vector<uint8_t>& out) {
  unsigned char* der = nullptr;
  int length = i2d_KeyParams(key, &der);
  if (length <= 0) return false;
  out.assign(der, der + length);
  OPENSSL_free(der);
  return true;
}

// The encoded public point wrapped in a DER OCTET STRING.
bool EcPointDer(EVP_PKEY* key, std::vector<uint8_t>& out) {
  unsigned char* point = nullptr;
  size_t length = EVP_PKEY_get1_encoded_public_key(key, &point);
  if (length == 0) return false;
  ASN1_OCTET_STRING* octets = ASN1_OCTET_STRING_new();
  bool ok = octets && ASN1_OCTET_STRING_set(octets, point, static_cast<int>(length)) == 1;
  unsigned char* der = nullptr;
  int derLength = ok ? i2d_ASN1_OCTET_STRING(octets, &der) : -1;
  if (derLength > 0) out.assign(der, der + derLength);
  OPENSSL_free(der);
  ASN1_OCTET_STRING_free(octets);
  OPENSSL_free(point);
  return derLength > 0;
}

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>& bytes) {
  return {type, bytes.empty() ? nullptr : bytes.data(), bytes.size()};
}

// Usage flags of a generated key pair by kind: 1 encryption, 2 signing, else everything.
struct Usage {
  CK_BBOOL encrypt, decrypt, verify, sign, wrap, unwrap;
};
Usage UsageForKind(uint32_t kind) {
  if (kind == 1) return {CK_TRUE, CK_TRUE, CK_FALSE, CK_FALSE, CK_FALSE, CK_FALSE};
  if (kind == 2) return {CK_FALSE, CK_FALSE, CK_TRUE, CK_TRUE, CK_FALSE, CK_FALSE};
  return {CK_TRUE, CK_TRUE, CK_TRUE, CK_TRUE, CK_TRUE, CK_TRUE};
}

struct MechanismName {
  CK_MECHANISM_TYPE type;
  const char* name;
  int sinceGeneration;  // 0 all, 2 from 2.11, 3 2.20 only
};
const MechanismName kMechanismNames[] = {
    {0x0, "RSA_PKCS_KEY_PAIR_GEN", 0}, {0x1, "RSA_PKCS", 0},
    {0x2, "RSA_9796", 0},              {0x3, "RSA_X_509", 0},
    {0x4, "MD2_RSA_PKCS", 0},          {0x5, "MD5_RSA_PKCS", 0},
    {0x6, "SHA1_RSA_PKCS", 0},         {0x40, "SHA256_RSA_PKCS", 3},
    {0x41, "SHA384_RSA_PKCS", 3},      {0x42, "SHA512_RSA_PKCS", 3},
    {0x46, "SHA224_RSA_PKCS", 3},      {0x120, "DES_KEY_GEN", 0},
    {0x121, "DES_ECB", 0},             {0x122, "DES_CBC", 0},
    {0x130, "DES2_KEY_GEN", 0},        {0x131, "DES3_KEY_GEN", 0},
    {0x132, "DES3_ECB", 0},            {0x133, "DES3_CBC", 0},
    {0x200, "MD2", 0},                 {0x210, "MD5", 0},
    {0x220, "SHA_1", 0},               {0x250, "SHA256", 3},
    {0x255, "SHA224", 3},              {0x260, "SHA384", 3},
    {0x270, "SHA512", 3},              {0x1040, "CKM_EC_KEY_PAIR_GEN", 2},
    {0x1041, "CKM_ECDSA", 2},          {0x1042, "CKM_ECDSA_SHA1", 2},
    {0x1080, "AES_KEY_GEN", 2},        {0x1081, "AES_ECB", 2},
    {0x1082, "AES_CBC", 2},
};

}  // namespace

bool PKCS11Base::InitPIN(const TvrCommon::SecureString* pin) {
  if (!CheckFunctionList()) return false;
  // No reinitialisation between the session's check and the call.
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  CK_RV rv = Call(GetFunctionList()->C_InitPIN, GetSession(), PinBytes(pin), PinLength(pin));
  if (rv != CKR_OK) {
    LogError("InitPIN ERROR! Error code: %08x", Rv32(rv));
    return false;
  }
  return true;
}

bool PKCS11Base::SetPIN(const TvrCommon::SecureString* oldPin, const TvrCommon::SecureString* newPin) {
  if (!CheckFunctionList()) return false;
  // No reinitialisation between the session's check and the call.
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  CK_RV rv = Call(GetFunctionList()->C_SetPIN, GetSession(), PinBytes(oldPin), PinLength(oldPin),
                  PinBytes(newPin), PinLength(newPin));
  if (rv != CKR_OK) {
    LogError("SetPIN ERROR! Error code: %08x", Rv32(rv));
    return false;
  }
  return true;
}

bool PKCS11Base::DestroyObject(CK_OBJECT_HANDLE object) {
  if (!CheckFunctionList()) return false;
  // No reinitialisation between the session's check and the call.
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  CK_RV rv = Call(GetFunctionList()->C_DestroyObject, GetSession(), object);
  if (rv != CKR_OK) {
    LogError("DestroyObject ERROR! Error code: %08x", Rv32(rv));
    return false;
  }
  return true;
}

bool PKCS11Base::CreateObject(CK_ATTRIBUTE* attributes, size_t count) {
  CK_OBJECT_HANDLE handle = 0;
  // No reinitialisation between the session's check and the call.
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  CK_RV rv = Call(GetFunctionList()->C_CreateObject, GetSession(), attributes,
                  static_cast<CK_ULONG>(count), &handle);
  if (rv != CKR_OK) {
    LogError("CreateObject ERROR! Error code: %08x", Rv32(rv));
    return false;
  }
  return true;
}

bool PKCS11Base::CreateCertificate(const std::string* idHex, const std::string* label,
                                   uint32_t category, X509* certificate) {
  if (!CheckFunctionList()) return false;
  std::vector<uint8_t> id;
  if (!IdBytes(idHex, id) || !certificate) return false;
  unsigned char* subject = nullptr;
  unsigned char* value = nullptr;
  int subjectLength = i2d_X509_NAME(X509_get_subject_name(certificate), &subject);
  int valueLength = i2d_X509(certificate, &value);
  bool ok = false;
  if (subjectLength > 0 && valueLength > 0) {
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certificateType = CKC_X_509;
    CK_ULONG certificateCategory = category;
    std::vector<CK_ATTRIBUTE> t = {{CKA_TOKEN, &kTrue, sizeof kTrue},
                                   {CKA_CLASS, &objectClass, sizeof objectClass},
                                   {CKA_CERTIFICATE_TYPE, &certificateType, sizeof certificateType}};
    if (GetGeneration() == Generation::V220 && category != 0)
      t.push_back({CKA_CERTIFICATE_CATEGORY, &certificateCategory, sizeof certificateCategory});
    t.push_back({CKA_LABEL, TextBytes(label), TextLength(label)});
    t.push_back(Attr(CKA_ID, id));
    t.push_back({CKA_SUBJECT, subject, static_cast<CK_ULONG>(subjectLength)});
    t.push_back({CKA_VALUE, value, static_cast<CK_ULONG>(valueLength)});
    ok = CreateObject(t.data(), t.size());
  }
  OPENSSL_free(subject);
  OPENSSL_free(value);
  return ok;
}

bool PKCS11Base::CreatePublicKey(const std::string* idHex, const std::string* label, EVP_PKEY* key) {
  if (!CheckFunctionList()) return false;
  std::vector<uint8_t> id;
  if (!IdBytes(idHex, id)) return false;
  const int type = key ? EVP_PKEY_get_base_id(key) : EVP_PKEY_NONE;
  CK_OBJECT_CLASS objectClass = CKO_PUBLIC_KEY;
  CK_KEY_TYPE keyType = type == EVP_PKEY_RSA ? CKK_RSA : CKK_EC;
  std::vector<uint8_t> first, second;
  bool parts = false;
  if (type == EVP_PKEY_RSA) {
    parts = KeyPart(key, OSSL_PKEY_PARAM_RSA_N, first) && KeyPart(key, OSSL_PKEY_PARAM_RSA_E, second);
  } else if (type == EVP_PKEY_EC) {
    parts = EcParametersDer(key, first) && EcPointDer(key, second);
  }
  if (!parts) {
    LogError("CreateObject ERROR! Error code: %08x", Rv32(CKR_ARGUMENTS_BAD));
    return false;
  }
  CK_ATTRIBUTE t[] = {{CKA_TOKEN, &kTrue, sizeof kTrue},
                      {CKA_PRIVATE, &kFalse, sizeof kFalse},
                      {CKA_CLASS, &objectClass, sizeof objectClass},
                      {CKA_KEY_TYPE, &keyType, sizeof keyType},
                      {CKA_LABEL, TextBytes(label), TextLength(label)},
                      Attr(CKA_ID, id),
                      {CKA_ENCRYPT, &kTrue, sizeof kTrue},
                      {CKA_VERIFY, &kTrue, sizeof kTrue},
                      {CKA_WRAP, &kTrue, sizeof kTrue},
                      Attr(type == EVP_PKEY_RSA ? CKA_MODULUS : CKA_EC_PARAMS, first),
                      Attr(type == EVP_PKEY_RSA ? CKA_PUBLIC_EXPONENT : CKA_EC_POINT, second)};
  return CreateObject(t, 11);
}

bool PKCS11Base::CreatePrivateKey(const std::string* idHex, const std::string* label,
                                  EVP_PKEY* key) {
  if (!CheckFunctionList()) return false;
  std::vector<uint8_t> id;
  if (!IdBytes(idHex, id)) return false;
  const int type = key ? EVP_PKEY_get_base_id(key) : EVP_PKEY_NONE;
  CK_OBJECT_CLASS objectClass = CKO_PRIVATE_KEY;
  CK_KEY_TYPE keyType = type == EVP_PKEY_RSA ? CKK_RSA : CKK_EC;
  std::vector<CK_ATTRIBUTE> t = {{CKA_TOKEN, &kTrue, sizeof kTrue},
                                 {CKA_PRIVATE, &kTrue, sizeof kTrue},
                                 {CKA_CLASS, &objectClass, sizeof objectClass},
                                 {CKA_KEY_TYPE, &keyType, sizeof keyType},
                                 {CKA_LABEL, TextBytes(label), TextLength(label)},
                                 Attr(CKA_ID, id),
                                 {CKA_DECRYPT, &kTrue, sizeof kTrue},
                                 {CKA_SIGN, &kTrue, sizeof kTrue},
                                 {CKA_UNWRAP, &kTrue, sizeof kTrue}};
  // Secret parts: wiped when this scope ends.
  std::vector<std::vector<uint8_t>> parts;
  bool ok = false;
  if (type == EVP_PKEY_RSA) {
    const std::pair<CK_ATTRIBUTE_TYPE, const char*> names[] = {
        {CKA_MODULUS, OSSL_PKEY_PARAM_RSA_N},
        {CKA_PUBLIC_EXPONENT, OSSL_PKEY_PARAM_RSA_E},
        {CKA_PRIVATE_EXPONENT, OSSL_PKEY_PARAM_RSA_D},
        {CKA_PRIME_1, OSSL_PKEY_PARAM_RSA_FACTOR1},
        {CKA_PRIME_2, OSSL_PKEY_PARAM_RSA_FACTOR2},
        {CKA_EXPONENT_1, OSSL_PKEY_PARAM_RSA_EXPONENT1},
        {CKA_EXPONENT_2, OSSL_PKEY_PARAM_RSA_EXPONENT2},
        {CKA_COEFFICIENT, OSSL_PKEY_PARAM_RSA_COEFFICIENT1}};
    parts.resize(8);
    ok = true;
    for (size_t i = 0; i < 8 && ok; ++i) ok = KeyPart(key, names[i].second, parts[i]);
    if (ok)
      for (size_t i = 0; i < 8; ++i) t.push_back(Attr(names[i].first, parts[i]));
  } else if (type == EVP_PKEY_EC) {
    parts.resize(2);
    ok = EcParametersDer(key, parts[0]) && KeyPart(key, OSSL_PKEY_PARAM_PRIV_KEY, parts[1]);
    if (ok) {
      t.push_back(Attr(CKA_EC_PARAMS, parts[0]));
      t.push_back(Attr(CKA_VALUE, parts[1]));
    }
  }
  bool created = false;
  if (!ok)
    LogError("CreateObject ERROR! Error code: %08x", Rv32(CKR_ARGUMENTS_BAD));
  else
    created = CreateObject(t.data(), t.size());
  for (auto& part : parts) OPENSSL_cleanse(part.data(), part.size());
  return created;
}

bool PKCS11Base::CreateDataObject(bool isPrivate, const std::string* label,
                                  const std::string* application, const uint8_t* value,
                                  uint32_t valueLength) {
  if (!CheckFunctionList()) return false;
  CK_OBJECT_CLASS objectClass = CKO_DATA;
  CK_BBOOL privateFlag = isPrivate ? CK_TRUE : CK_FALSE;
  CK_ATTRIBUTE t[] = {{CKA_TOKEN, &kTrue, sizeof kTrue},
                      {CKA_PRIVATE, &privateFlag, sizeof privateFlag},
                      {CKA_CLASS, &objectClass, sizeof objectClass},
                      {CKA_LABEL, TextBytes(label), TextLength(label)},
                      {CKA_APPLICATION, TextBytes(application), TextLength(application)},
                      {CKA_VALUE, const_cast<uint8_t*>(value), value ? valueLength : 0}};
  return CreateObject(t, 6);
}

template <typename Fn>
CK_RV PKCS11Base::RunSizedOutput(Fn fn, const uint8_t* input, uint32_t inputLength,
                                 uint8_t* output, uint32_t* outputLength) {
  CK_BYTE_PTR in = const_cast<CK_BYTE_PTR>(input);
  CK_ULONG needed = 0;
  CK_RV rv = Call(fn, GetSession(), in, CK_ULONG(inputLength), CK_BYTE_PTR(nullptr), &needed);
  if (rv != CKR_OK) return rv;
  const CK_ULONG capacity = (output && outputLength) ? *outputLength : 0;
  if (needed <= capacity) {
    CK_ULONG length = needed;
    rv = Call(fn, GetSession(), in, CK_ULONG(inputLength), output, &length);
    if (rv == CKR_OK) *outputLength = static_cast<uint32_t>(length);
    return rv;
  }
  // The caller's buffer is too small. Finish the operation into a scratch buffer, so the
  // module is not left with an open operation, and refuse.
  if (needed <= kMaxScratchOutput) {
    std::vector<uint8_t> scratch(needed);
    CK_ULONG length = needed;
    Call(fn, GetSession(), in, CK_ULONG(inputLength), scratch.data(), &length);
    OPENSSL_cleanse(scratch.data(), scratch.size());
  }
  return CKR_BUFFER_TOO_SMALL;
}

bool PKCS11Base::Decrypt(CK_OBJECT_HANDLE key, const uint8_t* input, uint32_t inputLength,
                         uint8_t* output, uint32_t* outputLength) {
  if (!CheckFunctionList()) return false;
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
  const CK_SESSION_HANDLE session = GetSession();  // the events name it even once forgotten
  CK_RV rv = Call(GetFunctionList()->C_DecryptInit, session, &mechanism, key);
  if (rv != CKR_OK) {
    LogError("DecryptInit ERROR! Error code: %08x; session handle: %08x", Rv32(rv),
             Rv32(session));
    return false;
  }
  rv = RunSizedOutput(GetFunctionList()->C_Decrypt, input, inputLength, output, outputLength);
  if (rv != CKR_OK) {
    LogError("Decrypt ERROR! Error code: %08x; session handle: %08x", Rv32(rv), Rv32(session));
    return false;
  }
  return true;
}

bool PKCS11Base::Sign(CK_MECHANISM_TYPE mechanismType, CK_OBJECT_HANDLE key,
                      const TvrCommon::SecureString* pin, const uint8_t* data, uint32_t dataLength,
                      uint8_t* signature, uint32_t* signatureLength) {
  if (!CheckFunctionList()) return false;
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  CK_FUNCTION_LIST* fl = GetFunctionList();
  const CK_SESSION_HANDLE session = GetSession();  // the events name it even once forgotten
  CK_BBOOL alwaysAuthenticate = CK_FALSE;
  const bool reauthenticate = GetGeneration() == Generation::V220;
  if (reauthenticate) {
    CK_ATTRIBUTE a = {CKA_ALWAYS_AUTHENTICATE, &alwaysAuthenticate, sizeof alwaysAuthenticate};
    CK_RV rv = Call(fl->C_GetAttributeValue, GetSession(), key, &a, CK_ULONG(1));
    if (rv != CKR_OK) {
      LogError("GetAttributeValue ERROR! Error code: %08x", Rv32(rv));
      return false;
    }
  }
  CK_MECHANISM mechanism = {mechanismType, nullptr, 0};
  CK_RV rv = Call(fl->C_SignInit, GetSession(), &mechanism, key);
  if (rv != CKR_OK) {
    LogError("SignInit ERROR! Error code: %08x; session handle: %08x", Rv32(rv), Rv32(session));
    return false;
  }
  if (reauthenticate && alwaysAuthenticate == CK_TRUE && pin) {
    rv = Call(fl->C_Login, GetSession(), CK_USER_TYPE(CKU_CONTEXT_SPECIFIC), PinBytes(pin),
              PinLength(pin));
    if (rv != CKR_OK) {
      LogError("Login ERROR! Error code: %08x", Rv32(rv));
      return false;
    }
  }
  rv = RunSizedOutput(fl->C_Sign, data, dataLength, signature, signatureLength);
  if (rv != CKR_OK) {
    LogError("Sign ERROR! Error code: %08x; session handle: %08x", Rv32(rv), Rv32(session));
    return false;
  }
  return true;
}

bool PKCS11Base::SignRSA(CK_OBJECT_HANDLE key, const TvrCommon::SecureString* pin,
                         const uint8_t* data, uint32_t dataLength, uint8_t* signature,
                         uint32_t* signatureLength) {
  return Sign(CKM_RSA_PKCS, key, pin, data, dataLength, signature, signatureLength);
}

bool PKCS11Base::SignEC(CK_OBJECT_HANDLE key, const TvrCommon::SecureString* pin,
                        const uint8_t* data, uint32_t dataLength, uint8_t* signature,
                        uint32_t* signatureLength) {
  return Sign(CKM_ECDSA, key, pin, data, dataLength, signature, signatureLength);
}

std::vector<std::string> PKCS11Base::GetMechanismList() {
  if (!CheckFunctionList()) return {};
  CK_FUNCTION_LIST* fl = GetFunctionList();
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  CK_ULONG count = 0;
  CK_RV rv = Call(fl->C_GetMechanismList, GetSlot(), CK_MECHANISM_TYPE_PTR(nullptr), &count);
  if (rv != CKR_OK) {
    LogError("GetMechanismList ERROR! Error code: %08x", Rv32(rv));
    return {};
  }
  if (count == 0) return {};
  std::vector<CK_MECHANISM_TYPE> types(count);
  rv = Call(fl->C_GetMechanismList, GetSlot(), types.data(), &count);
  if (rv != CKR_OK) {
    LogError("GetMechanismList ERROR! Error code: %08x", Rv32(rv));
    return {};
  }
  types.resize(std::min<CK_ULONG>(count, types.size()));
  const int generation = GetGeneration() == Generation::V220   ? 3
                         : GetGeneration() == Generation::V211 ? 2
                                                               : 0;
  std::vector<std::string> names;
  for (CK_MECHANISM_TYPE type : types) {
    char name[1024];
    std::snprintf(name, sizeof name, "%08X", Rv32(type));
    for (const MechanismName& m : kMechanismNames) {
      if (m.type == type && m.sinceGeneration <= generation) {
        std::snprintf(name, sizeof name, "%s", m.name);
        break;
      }
    }
    CK_MECHANISM_INFO info;
    std::memset(&info, 0, sizeof info);
    if (Call(fl->C_GetMechanismInfo, GetSlot(), type, &info) == CKR_OK) {
      names.push_back(std::string(name) + " (" +
                      std::to_string(static_cast<int>(info.ulMinKeySize)) + " - " +
                      std::to_string(static_cast<int>(info.ulMaxKeySize)) + ")");
    } else {
      names.emplace_back(name);
    }
  }
  return names;
}

// Both key pairs: the public template is on the token, public, with the key kind's own
// parts after CKA_PRIVATE; the private half is on the token, private and sensitive.
bool PKCS11Base::GenerateKeyPair(CK_MECHANISM_TYPE mechanismType, const CK_ATTRIBUTE* keyParts,
                                 size_t keyPartCount, const std::string* publicLabel,
                                 const std::string* publicIdHex, const std::string* privateLabel,
                                 const std::string* privateIdHex, uint32_t kind) {
  if (!CheckFunctionList()) return false;
  std::vector<uint8_t> publicId, privateId;
  if (!IdBytes(publicIdHex, publicId) || !IdBytes(privateIdHex, privateId)) return false;
  Usage u = UsageForKind(kind);
  std::vector<CK_ATTRIBUTE> pub = {{CKA_TOKEN, &kTrue, sizeof kTrue},
                                   {CKA_PRIVATE, &kFalse, sizeof kFalse}};
  pub.insert(pub.end(), keyParts, keyParts + keyPartCount);
  pub.insert(pub.end(), {{CKA_LABEL, TextBytes(publicLabel), TextLength(publicLabel)},
                         Attr(CKA_ID, publicId),
                         {CKA_ENCRYPT, &u.encrypt, 1},
                         {CKA_VERIFY, &u.verify, 1},
                         {CKA_WRAP, &u.wrap, 1}});
  CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &kTrue, sizeof kTrue},
                         {CKA_PRIVATE, &kTrue, sizeof kTrue},
                         {CKA_SENSITIVE, &kTrue, sizeof kTrue},
                         {CKA_LABEL, TextBytes(privateLabel), TextLength(privateLabel)},
                         Attr(CKA_ID, privateId),
                         {CKA_DECRYPT, &u.decrypt, 1},
                         {CKA_SIGN, &u.sign, 1},
                         {CKA_UNWRAP, &u.unwrap, 1}};
  CK_MECHANISM mechanism = {mechanismType, nullptr, 0};
  CK_OBJECT_HANDLE publicHandle = 0, privateHandle = 0;
  // No reinitialisation between the session's check and the call.
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  const CK_SESSION_HANDLE session = GetSession();  // the event names it even once forgotten
  CK_RV rv = Call(GetFunctionList()->C_GenerateKeyPair, session, &mechanism, pub.data(),
                  static_cast<CK_ULONG>(pub.size()), priv, CK_ULONG(8), &publicHandle,
                  &privateHandle);
  if (rv != CKR_OK) {
    LogError("GenerateKeyPair ERROR! Error code: %08x; session handle: %08x", Rv32(rv),
             Rv32(session));
    return false;
  }
  return true;
}

bool PKCS11Base::GenerateRSAKeyPair(const std::string* publicLabel, const std::string* publicIdHex,
                                    const std::string* privateLabel,
                                    const std::string* privateIdHex, uint32_t kind,
                                    uint32_t modulusBits, const uint8_t* publicExponent,
                                    uint32_t publicExponentLength) {
  CK_ULONG bits = modulusBits;
  const CK_ATTRIBUTE parts[] = {{CKA_MODULUS_BITS, &bits, sizeof bits},
                                {CKA_PUBLIC_EXPONENT, const_cast<uint8_t*>(publicExponent),
                                 publicExponent ? publicExponentLength : 0}};
  return GenerateKeyPair(CKM_RSA_PKCS_KEY_PAIR_GEN, parts, 2, publicLabel, publicIdHex,
                         privateLabel, privateIdHex, kind);
}

bool PKCS11Base::GenerateECKeyPair(const std::string* publicLabel, const std::string* publicIdHex,
                                   const std::string* privateLabel,
                                   const std::string* privateIdHex, uint32_t kind,
                                   const uint8_t* ecParameters, uint32_t ecParametersLength) {
  const CK_ATTRIBUTE parts[] = {{CKA_EC_PARAMS, const_cast<uint8_t*>(ecParameters),
                                 ecParameters ? ecParametersLength : 0}};
  return GenerateKeyPair(CKM_EC_KEY_PAIR_GEN, parts, 1, publicLabel, publicIdHex, privateLabel,
                         privateIdHex, kind);
}

std::unique_ptr<std::string> PKCS11Base::GetAttribute(CK_OBJECT_HANDLE object,
                                                      CK_ATTRIBUTE_TYPE type) {
  if (!CheckFunctionList()) return nullptr;
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  CK_ATTRIBUTE a = {type, nullptr, 0};
  if (Call(GetFunctionList()->C_GetAttributeValue, GetSession(), object, &a, CK_ULONG(1)) != CKR_OK)
    return nullptr;
  if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION || a.ulValueLen > kMaxAttributeLength) return nullptr;
  auto value = std::make_unique<std::string>(a.ulValueLen, '\0');
  a.pValue = value->empty() ? nullptr : value->data();
  if (Call(GetFunctionList()->C_GetAttributeValue, GetSession(), object, &a, CK_ULONG(1)) != CKR_OK)
    return nullptr;
  value->resize(std::min<CK_ULONG>(a.ulValueLen, value->size()));
  return value;
}
