#include "OCSPUtil.h"

#include "ErrCodeException.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <new>
#include <string>

namespace TvrOCSP {

TvrCommon::Date DateOf(const ASN1_GENERALIZEDTIME* time)
{
    if (!time)
        throw TvrCommon::ErrCodeException(1);
    const char* data = reinterpret_cast<const char*>(ASN1_STRING_get0_data(time));
    std::string text(data ? data : "", static_cast<size_t>(ASN1_STRING_length(time)));
    return TvrCommon::Date(text, TvrCommon::Date::GeneralizedTime);
}

TvrCommon::ByteArray BytesOf(const ASN1_STRING* value)
{
    return TvrCommon::ByteArray(ASN1_STRING_get0_data(value), static_cast<size_t>(ASN1_STRING_length(value)));
}

TvrCommon::ByteArray EncodeItem(const void* value, const ASN1_ITEM* item)
{
    unsigned char* der = nullptr;
    int length = value ? ASN1_item_i2d(static_cast<const ASN1_VALUE*>(value), &der, item) : 0;
    if (length <= 0 || !der)
        return TvrCommon::ByteArray();
    TvrCommon::ByteArray bytes(der, static_cast<size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

TvrX509::X509Extension CopyExtension(X509_EXTENSION* extension)
{
    if (!extension)
        throw TvrCommon::ErrCodeException(1);
    char oid[128] = {};
    if (OBJ_obj2txt(oid, sizeof(oid), X509_EXTENSION_get_object(extension), 1) <= 0)
        throw TvrCommon::ErrCodeException(1);
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(extension);
    TvrASN1::DERBytes value(ASN1_STRING_get0_data(data), static_cast<size_t>(ASN1_STRING_length(data)));
    return TvrX509::X509Extension(oid, value, X509_EXTENSION_get_critical(extension) > 0);
}

std::unique_ptr<std::vector<TvrX509::X509Extension>> CopyExtensions(
    int count, const std::function<X509_EXTENSION*(int)>& at)
{
    if (count <= 0)
        return nullptr;
    std::unique_ptr<std::vector<TvrX509::X509Extension>> list(
        new (std::nothrow) std::vector<TvrX509::X509Extension>());
    if (!list)
        throw TvrCommon::ErrCodeException(3);
    for (int i = 0; i < count; ++i)
        list->push_back(CopyExtension(at(i)));
    return list;
}

} // namespace TvrOCSP
