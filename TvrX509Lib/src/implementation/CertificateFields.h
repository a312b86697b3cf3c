#pragma once

// Field readers shared by certificates, CRLs and revoked entries.

#include "BigInt.h"
#include "Date.h"
#include "X509Extension.h"

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <string>

namespace TvrX509 {

// UTCTime and GeneralizedTime as dates, any other time type as the date of 0 µs; a
// missing time (an optional field left out) as an invalid date. A UTCTime or
// GeneralizedTime that is no real instant (month 13, day 99, stray characters): code 4.
TvrCommon::Date DateOfTime(const ASN1_TIME* time);

// The magnitude bytes of an INTEGER.
TvrCommon::BigInt BigIntOfInteger(const ASN1_INTEGER* integer);

// The long name of the digest of a signature algorithm ("sha256"; for RSASSA-PSS the one
// its parameters name); the empty text for EdDSA, which has no separate digest; an
// algorithm without a known digest: code 1.
std::string SignatureDigestName(const X509_ALGOR* algorithm);

// A copy of an OpenSSL extension as a plain extension object.
X509Extension ExtensionOf(X509_EXTENSION* extension);

} // namespace TvrX509
