// The token class for each Cryptoki version the supported modules report.
#pragma once

#include "PKCS11Base.h"

#define TVR_DECLARE_PKCS11_VERSION(ClassName)                                       \
  class ClassName : public PKCS11Base {                                             \
   public:                                                                          \
    static std::unique_ptr<ClassName> Create(const VendorModuleEntry* row,          \
                                             ModuleHandle module);                  \
    std::unique_ptr<PKCS11Base> Clone() const override;                             \
                                                                                    \
   protected:                                                                       \
    Generation GetGeneration() const override;                                      \
                                                                                    \
   private:                                                                         \
    ClassName(const VendorModuleEntry* row, ModuleHandle module)                    \
        : PKCS11Base(row, module) {}                                                \
    ClassName(const ClassName& primary, bool cloneTag) : PKCS11Base(primary, cloneTag) {} \
  };

TVR_DECLARE_PKCS11_VERSION(PKCS11V201)
TVR_DECLARE_PKCS11_VERSION(PKCS11V210)
TVR_DECLARE_PKCS11_VERSION(PKCS11V211)
TVR_DECLARE_PKCS11_VERSION(PKCS11V220)

#undef TVR_DECLARE_PKCS11_VERSION
