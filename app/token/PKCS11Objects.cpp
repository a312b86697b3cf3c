// Token information, objects and key operations. Until they are built, each of these
// answers with its failure value.
#include "PKCS11Base.h"

std::unique_ptr<TokenInfo> PKCS11Base::GetTokenInfo() {
  CheckFunctionList();
  return nullptr;
}

std::unique_ptr<TokenObjects> PKCS11Base::ReadObjects() {
  CheckFunctionList();
  return std::make_unique<TokenObjects>();
}

bool PKCS11Base::InitPIN(const TvrCommon::SecureString*) { return CheckFunctionList() && false; }
bool PKCS11Base::SetPIN(const TvrCommon::SecureString*, const TvrCommon::SecureString*) {
  return CheckFunctionList() && false;
}
bool PKCS11Base::DestroyObject(CK_OBJECT_HANDLE) { return CheckFunctionList() && false; }
bool PKCS11Base::CreateCertificate(const std::string*, const std::string*, uint32_t, X509*) {
  return CheckFunctionList() && false;
}
bool PKCS11Base::CreatePublicKey(const std::string*, const std::string*, EVP_PKEY*) {
  return CheckFunctionList() && false;
}
bool PKCS11Base::CreatePrivateKey(const std::string*, const std::string*, EVP_PKEY*) {
  return CheckFunctionList() && false;
}
bool PKCS11Base::CreateDataObject(bool, const std::string*, const std::string*, const uint8_t*,
                                  uint32_t) {
  return CheckFunctionList() && false;
}
bool PKCS11Base::Decrypt(CK_OBJECT_HANDLE, const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
  return CheckFunctionList() && false;
}
bool PKCS11Base::SignRSA(CK_OBJECT_HANDLE, const TvrCommon::SecureString*, const uint8_t*,
                         uint32_t, uint8_t*, uint32_t*) {
  return CheckFunctionList() && false;
}
bool PKCS11Base::SignEC(CK_OBJECT_HANDLE, const TvrCommon::SecureString*, const uint8_t*,
                        uint32_t, uint8_t*, uint32_t*) {
  return CheckFunctionList() && false;
}
std::vector<std::string> PKCS11Base::GetMechanismList() {
  CheckFunctionList();
  return {};
}
bool PKCS11Base::GenerateRSAKeyPair(const std::string*, const std::string*, const std::string*,
                                    const std::string*, uint32_t, uint32_t, const uint8_t*,
                                    uint32_t) {
  return CheckFunctionList() && false;
}
bool PKCS11Base::GenerateECKeyPair(const std::string*, const std::string*, const std::string*,
                                   const std::string*, uint32_t, const uint8_t*, uint32_t) {
  return CheckFunctionList() && false;
}
std::unique_ptr<std::string> PKCS11Base::GetAttribute(CK_OBJECT_HANDLE, CK_ATTRIBUTE_TYPE) {
  CheckFunctionList();
  return nullptr;
}
