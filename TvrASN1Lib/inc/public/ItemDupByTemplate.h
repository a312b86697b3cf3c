#pragma once

#include <openssl/asn1.h>

namespace TvrASN1 {

// A deep copy through the type's ASN.1 item template, for the types whose `_dup`
// OpenSSL 3.0 no longer exports (or exports only as a macro). Null gives null.
template <typename T>
T* DupByItem(const ASN1_ITEM* item, const T* source)
{
    if (!source)
        return nullptr;
    return static_cast<T*>(ASN1_item_dup(item, const_cast<T*>(source)));
}

} // namespace TvrASN1
