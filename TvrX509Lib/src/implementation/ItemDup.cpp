#include "ItemDup.h"
#include "ItemDupByTemplate.h"

namespace TvrX509 {

using TvrASN1::DupByItem;

#define TVR_X509_ITEM_DUP(X)                                  \
    X* X##_dup(const X* source)                               \
    {                                                         \
        return DupByItem(ASN1_ITEM_rptr(X), source);          \
    }

TVR_X509_ITEM_DUP(ASN1_BIT_STRING)
TVR_X509_ITEM_DUP(EXTENDED_KEY_USAGE)
TVR_X509_ITEM_DUP(AUTHORITY_INFO_ACCESS)
TVR_X509_ITEM_DUP(CRL_DIST_POINTS)
TVR_X509_ITEM_DUP(CERTIFICATEPOLICIES)
TVR_X509_ITEM_DUP(ACCESS_DESCRIPTION)
TVR_X509_ITEM_DUP(DIST_POINT)
TVR_X509_ITEM_DUP(POLICYINFO)

#undef TVR_X509_ITEM_DUP

} // namespace TvrX509
