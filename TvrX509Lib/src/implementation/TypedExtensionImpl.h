#pragma once

#include "OpenSSLBase.h"
#include "X509ExtensionImpl.h"

#include <openssl/objects.h>

#include <string>

namespace TvrX509 {

class X509ExtensionImpl;

// The decoded value of a typed extension, plus a link to the extension implementation
// of the same public object (reset after every copy), through which a value built in
// place is written back into the extension.
template <typename T>
class TypedExtensionImpl : public TvrASN1::OpenSSLBase<T> {
public:
    using TvrASN1::OpenSSLBase<T>::OpenSSLBase;

    X509ExtensionImpl* extension = nullptr;
};

// OBJ_obj2txt into a zero-filled 1024-byte buffer.
inline std::string ObjectToText(const ASN1_OBJECT* object, int noName)
{
    char buffer[1024] = {};
    OBJ_obj2txt(buffer, sizeof(buffer), object, noName);
    return buffer;
}

} // namespace TvrX509
