#pragma once

// Mirrors of OCSP structures whose fields OpenSSL 3 keeps opaque without an accessor (the
// responseBytes of a response, the version of the response data, the certStatus choice
// and the revoked information). They decode the DER that OpenSSL writes for its own
// object; sub-structures with a public OpenSSL item keep that item, so a field read here
// is handed back as the OpenSSL type. C++ linkage in this namespace, so nothing collides
// with libcrypto's exports.

#include "ErrCodeException.h"

#include <openssl/asn1.h>
#include <openssl/ocsp.h>
#include <openssl/x509.h>

#include <memory>

namespace TvrOCSP {

// ResponseBytes ::= SEQUENCE { responseType OBJECT IDENTIFIER, response OCTET STRING }
struct RESPBYTES_MIRROR {
    ASN1_OBJECT* responseType;
    ASN1_OCTET_STRING* response;
};

// OCSPResponse ::= SEQUENCE { responseStatus ENUMERATED,
//                             responseBytes [0] EXPLICIT ResponseBytes OPTIONAL }
struct RESPONSE_MIRROR {
    ASN1_ENUMERATED* responseStatus;
    OCSP_RESPBYTES* responseBytes;
};

// ResponseData ::= SEQUENCE { version [0] EXPLICIT INTEGER DEFAULT v1, responderID,
//   producedAt GeneralizedTime, responses SEQUENCE OF SingleResponse,
//   responseExtensions [1] EXPLICIT Extensions OPTIONAL }
struct RESPDATA_MIRROR {
    ASN1_INTEGER* version;
    ASN1_TYPE* responderId;  // the tagged choice, kept as it was encoded
    ASN1_GENERALIZEDTIME* producedAt;
    STACK_OF(OCSP_SINGLERESP)* responses;
    STACK_OF(X509_EXTENSION)* responseExtensions;
};

// RevokedInfo ::= SEQUENCE { revocationTime GeneralizedTime,
//                            revocationReason [0] EXPLICIT CRLReason OPTIONAL }
struct REVOKEDINFO_MIRROR {
    ASN1_GENERALIZEDTIME* revocationTime;
    ASN1_ENUMERATED* revocationReason;
};

// CertStatus ::= CHOICE { good [0] IMPLICIT NULL, revoked [1] IMPLICIT RevokedInfo,
//                         unknown [2] IMPLICIT UnknownInfo }
struct CERTSTATUS_MIRROR {
    int type;  // 0 good, 1 revoked, 2 unknown
    union {
        ASN1_NULL* good;
        OCSP_REVOKEDINFO* revoked;
        ASN1_NULL* unknown;
    } value;
};

// SingleResponse ::= SEQUENCE { certID, certStatus, thisUpdate,
//   nextUpdate [0] EXPLICIT GeneralizedTime OPTIONAL,
//   singleExtensions [1] EXPLICIT Extensions OPTIONAL }
struct SINGLERESP_MIRROR {
    OCSP_CERTID* certId;
    OCSP_CERTSTATUS* certStatus;
    ASN1_GENERALIZEDTIME* thisUpdate;
    ASN1_GENERALIZEDTIME* nextUpdate;
    STACK_OF(X509_EXTENSION)* singleExtensions;
};

const ASN1_ITEM* RESPBYTES_MIRROR_it(void);
const ASN1_ITEM* RESPONSE_MIRROR_it(void);
const ASN1_ITEM* RESPDATA_MIRROR_it(void);
const ASN1_ITEM* REVOKEDINFO_MIRROR_it(void);
const ASN1_ITEM* CERTSTATUS_MIRROR_it(void);
const ASN1_ITEM* SINGLERESP_MIRROR_it(void);

// Frees a mirror (or any item value) through its item.
class ItemDeleter {
public:
    explicit ItemDeleter(const ASN1_ITEM* item = nullptr) : m_item(item) {}
    void operator()(void* value) const
    {
        if (value && m_item)
            ASN1_item_free(static_cast<ASN1_VALUE*>(value), m_item);
    }

private:
    const ASN1_ITEM* m_item;
};

template <typename M>
using MirrorPtr = std::unique_ptr<M, ItemDeleter>;

// Encodes `object` with `sourceItem` and decodes the bytes with `mirrorItem`; null when
// either step fails (an empty or malformed object).
void* DecodeMirror(const ASN1_ITEM* sourceItem, const void* object, const ASN1_ITEM* mirrorItem);

template <typename M>
MirrorPtr<M> MirrorOf(const ASN1_ITEM* sourceItem, const void* object, const ASN1_ITEM* mirrorItem)
{
    return MirrorPtr<M>(static_cast<M*>(DecodeMirror(sourceItem, object, mirrorItem)),
                        ItemDeleter(mirrorItem));
}

// As MirrorOf, for fields the object must have: an object that cannot be mirrored is a
// missing field, code 1.
template <typename M>
MirrorPtr<M> RequiredMirrorOf(const ASN1_ITEM* sourceItem, const void* object, const ASN1_ITEM* mirrorItem)
{
    auto mirror = MirrorOf<M>(sourceItem, object, mirrorItem);
    if (!mirror)
        throw TvrCommon::ErrCodeException(1);
    return mirror;
}

} // namespace TvrOCSP
