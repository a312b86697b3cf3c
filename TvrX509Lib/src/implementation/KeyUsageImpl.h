#pragma once

#include "ItemDup.h"
#include "TypedExtensionImpl.h"

namespace TvrX509 {

class KeyUsageImpl : public TypedExtensionImpl<ASN1_BIT_STRING> {
public:
    KeyUsageImpl()
        : TypedExtensionImpl(ASN1_BIT_STRING_new, ASN1_BIT_STRING_free, ASN1_BIT_STRING_dup,
                             d2i_ASN1_BIT_STRING, i2d_ASN1_BIT_STRING)
    {
    }
    explicit KeyUsageImpl(const TvrASN1::DERBytes& value)
        : TypedExtensionImpl(value, ASN1_BIT_STRING_new, ASN1_BIT_STRING_free,
                             ASN1_BIT_STRING_dup, d2i_ASN1_BIT_STRING, i2d_ASN1_BIT_STRING)
    {
    }
};

class ExtendedKeyUsageImpl : public TypedExtensionImpl<EXTENDED_KEY_USAGE> {
public:
    ExtendedKeyUsageImpl()
        : TypedExtensionImpl(EXTENDED_KEY_USAGE_new, EXTENDED_KEY_USAGE_free,
                             EXTENDED_KEY_USAGE_dup, d2i_EXTENDED_KEY_USAGE,
                             i2d_EXTENDED_KEY_USAGE)
    {
    }
    explicit ExtendedKeyUsageImpl(const TvrASN1::DERBytes& value)
        : TypedExtensionImpl(value, EXTENDED_KEY_USAGE_new, EXTENDED_KEY_USAGE_free,
                             EXTENDED_KEY_USAGE_dup, d2i_EXTENDED_KEY_USAGE,
                             i2d_EXTENDED_KEY_USAGE)
    {
    }
};

} // namespace TvrX509
