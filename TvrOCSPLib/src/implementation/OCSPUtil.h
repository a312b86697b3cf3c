#pragma once

// Small conversions shared by the OCSP classes.

#include "ByteArray.h"
#include "DERBytes.h"
#include "Date.h"
#include "X509Extension.h"

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <functional>
#include <memory>
#include <vector>

namespace TvrOCSP {

// The time's text read as GeneralizedTime; null time: code 1.
TvrCommon::Date DateOf(const ASN1_GENERALIZEDTIME* time);

// The content bytes of an ASN.1 string (octets, bits, integer).
TvrCommon::ByteArray BytesOf(const ASN1_STRING* value);

// The DER encoding of an item value; empty when it cannot be encoded.
TvrCommon::ByteArray EncodeItem(const void* value, const ASN1_ITEM* item);

// A public extension holding a copy of `extension`; null extension: code 1.
TvrX509::X509Extension CopyExtension(X509_EXTENSION* extension);

// Copies of `count` extensions got by index; a count of 0 or less gives null.
std::unique_ptr<std::vector<TvrX509::X509Extension>> CopyExtensions(
    int count, const std::function<X509_EXTENSION*(int)>& at);

} // namespace TvrOCSP
