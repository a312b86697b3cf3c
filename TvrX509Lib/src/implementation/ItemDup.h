#pragma once

// Duplicate functions, by ASN1_item_dup over OpenSSL's item, for the OpenSSL types that
// come without one, so that every OpenSSLBase instantiation has its five functions.
// Each returns null for a null argument or a failed allocation.

#include <openssl/asn1.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace TvrX509 {

ASN1_BIT_STRING* ASN1_BIT_STRING_dup(const ASN1_BIT_STRING* source);
EXTENDED_KEY_USAGE* EXTENDED_KEY_USAGE_dup(const EXTENDED_KEY_USAGE* source);
AUTHORITY_INFO_ACCESS* AUTHORITY_INFO_ACCESS_dup(const AUTHORITY_INFO_ACCESS* source);
CRL_DIST_POINTS* CRL_DIST_POINTS_dup(const CRL_DIST_POINTS* source);
CERTIFICATEPOLICIES* CERTIFICATEPOLICIES_dup(const CERTIFICATEPOLICIES* source);
ACCESS_DESCRIPTION* ACCESS_DESCRIPTION_dup(const ACCESS_DESCRIPTION* source);
DIST_POINT* DIST_POINT_dup(const DIST_POINT* source);
POLICYINFO* POLICYINFO_dup(const POLICYINFO* source);

} // namespace TvrX509
