#pragma once

// Duplicate functions, by ASN1_item_dup over OpenSSL's item, for the OCSP types that come
// without a usable one (OpenSSL's OCSP_CERTSTATUS_dup is a macro, hence the Dup prefix),
// so that each OpenSSLBase instantiation has its five functions. Each returns null for a
// null argument or a failed allocation.

#include <openssl/ocsp.h>

namespace TvrOCSP {

OCSP_REQUEST* DupOCSP_REQUEST(const OCSP_REQUEST* source);
OCSP_ONEREQ* DupOCSP_ONEREQ(const OCSP_ONEREQ* source);
OCSP_RESPONSE* DupOCSP_RESPONSE(const OCSP_RESPONSE* source);
OCSP_RESPBYTES* DupOCSP_RESPBYTES(const OCSP_RESPBYTES* source);
OCSP_BASICRESP* DupOCSP_BASICRESP(const OCSP_BASICRESP* source);
OCSP_SINGLERESP* DupOCSP_SINGLERESP(const OCSP_SINGLERESP* source);
OCSP_CERTSTATUS* DupOCSP_CERTSTATUS(const OCSP_CERTSTATUS* source);
OCSP_REVOKEDINFO* DupOCSP_REVOKEDINFO(const OCSP_REVOKEDINFO* source);

} // namespace TvrOCSP
