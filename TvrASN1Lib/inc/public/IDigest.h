#pragma once

#include "ByteArray.h"
#include "ErrCodeException.h"
#include "Signature.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>

#include <string>

namespace TvrASN1 {

namespace detail {
TvrCommon::ByteArray Sha1Of(const TvrCommon::ByteArray& bytes);
std::string SignatureFingerprint(const ASN1_BIT_STRING* signature);
} // namespace detail

// Digests of an object held by X's OpenSSLBase. X provides GetDER() and, where
// GetFingerprint is used, GetSignatureValue() -> const ASN1_BIT_STRING*.
template <typename X>
class IDigest {
public:
    // SHA-1 of the object's DER encoding.
    TvrCommon::ByteArray GetDigest() const
    {
        auto der = static_cast<const X*>(this)->GetDER();
        if (!der)
            throw TvrCommon::ErrCodeException(1);
        return detail::Sha1Of(*der);
    }

    // That digest as 40 lower-case hexadecimal digits.
    std::string GetThumbprint() const { return GetDigest().Hexify(0, 0); }

    // SHA-1 over the OCTET STRING encoding of the signature value, 40 upper-case digits.
    std::string GetFingerprint() const
    {
        return detail::SignatureFingerprint(static_cast<const X*>(this)->GetSignatureValue());
    }
};

} // namespace TvrASN1
