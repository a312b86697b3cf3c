#include "PKCS11Versions.h"

#define TVR_DEFINE_PKCS11_VERSION(ClassName, GenerationValue)                          \
  std::unique_ptr<ClassName> ClassName::Create(const VendorModuleEntry* row,           \
                                               ModuleHandle module) {                  \
    return std::unique_ptr<ClassName>(new ClassName(row, module));                     \
  }                                                                                    \
  std::unique_ptr<PKCS11Base> ClassName::Clone() const {                               \
    return std::unique_ptr<PKCS11Base>(new ClassName(*this, true));                    \
  }                                                                                    \
  PKCS11Base::Generation ClassName::GetGeneration() const { return GenerationValue; }

TVR_DEFINE_PKCS11_VERSION(PKCS11V201, Generation::V201)
TVR_DEFINE_PKCS11_VERSION(PKCS11V210, Generation::V210)
TVR_DEFINE_PKCS11_VERSION(PKCS11V211, Generation::V211)
TVR_DEFINE_PKCS11_VERSION(PKCS11V220, Generation::V220)
