#include "ItemDup.h"
#include "ItemDupByTemplate.h"

namespace TvrX509 {

using TvrASN1::DupByItem;

ASN1_BIT_STRING* ASN1_BIT_STRING_dup(const ASN1_BIT_STRING* source)
{
    return DupByItem(ASN1_ITEM_rptr(ASN1_BIT_STRING), source);
}

EXTENDED_KEY_USAGE* EXTENDED_KEY_USAGE_dup(const EXTENDED_KEY_USAGE* source)
{
    return DupByItem(ASN1_ITEM_rptr(EXTENDED_KEY_USAGE), source);
}

AUTHORITY_INFO_ACCESS* AUTHORITY_INFO_ACCESS_dup(const AUTHORITY_INFO_ACCESS* source)
{
    return DupByItem(ASN1_ITEM_rptr(AUTHORITY_INFO_ACCESS), source);
}

CRL_DIST_POINTS* CRL_DIST_POINTS_dup(const CRL_DIST_POINTS* source)
{
    return DupByItem(ASN1_ITEM_rptr(CRL_DIST_POINTS), source);
}

CERTIFICATEPOLICIES* CERTIFICATEPOLICIES_dup(const CERTIFICATEPOLICIES* source)
{
    return DupByItem(ASN1_ITEM_rptr(CERTIFICATEPOLICIES), source);
}

ACCESS_DESCRIPTION* ACCESS_DESCRIPTION_dup(const ACCESS_DESCRIPTION* source)
{
    return DupByItem(ASN1_ITEM_rptr(ACCESS_DESCRIPTION), source);
}

DIST_POINT* DIST_POINT_dup(const DIST_POINT* source)
{
    return DupByItem(ASN1_ITEM_rptr(DIST_POINT), source);
}

POLICYINFO* POLICYINFO_dup(const POLICYINFO* source)
{
    return DupByItem(ASN1_ITEM_rptr(POLICYINFO), source);
}

} // namespace TvrX509
