#pragma once

#include "AuthInfoAccess.h"
#include "ItemDup.h"
#include "TypedExtensionImpl.h"

namespace TvrX509 {

class AccessDescriptionImpl : public TvrASN1::OpenSSLBase<ACCESS_DESCRIPTION> {
public:
    AccessDescriptionImpl()
        : OpenSSLBase(ACCESS_DESCRIPTION_new, ACCESS_DESCRIPTION_free, ACCESS_DESCRIPTION_dup,
                      d2i_ACCESS_DESCRIPTION, i2d_ACCESS_DESCRIPTION)
    {
    }
};

class AuthInfoAccessImpl : public TypedExtensionImpl<AUTHORITY_INFO_ACCESS> {
public:
    AuthInfoAccessImpl()
        : TypedExtensionImpl(AUTHORITY_INFO_ACCESS_new, AUTHORITY_INFO_ACCESS_free,
                             AUTHORITY_INFO_ACCESS_dup, d2i_AUTHORITY_INFO_ACCESS,
                             i2d_AUTHORITY_INFO_ACCESS)
    {
    }
    explicit AuthInfoAccessImpl(const TvrASN1::DERBytes& value)
        : TypedExtensionImpl(value, AUTHORITY_INFO_ACCESS_new, AUTHORITY_INFO_ACCESS_free,
                             AUTHORITY_INFO_ACCESS_dup, d2i_AUTHORITY_INFO_ACCESS,
                             i2d_AUTHORITY_INFO_ACCESS)
    {
    }

    // Builds the value from OpenSSL configuration text and writes it into the linked
    // extension.
    void BuildFromConfiguration(const std::string& configuration);
    std::vector<AccessDescription> GetAccessDescriptions() const;
};

} // namespace TvrX509
