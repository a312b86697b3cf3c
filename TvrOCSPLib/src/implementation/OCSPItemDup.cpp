#include "OCSPItemDup.h"
#include "ItemDupByTemplate.h"

namespace TvrOCSP {

using TvrASN1::DupByItem;

#define TVR_OCSP_ITEM_DUP(X)                                  \
    X* Dup##X(const X* source)                               \
    {                                                         \
        return DupByItem(ASN1_ITEM_rptr(X), source);          \
    }

TVR_OCSP_ITEM_DUP(OCSP_REQUEST)
TVR_OCSP_ITEM_DUP(OCSP_ONEREQ)
TVR_OCSP_ITEM_DUP(OCSP_RESPONSE)
TVR_OCSP_ITEM_DUP(OCSP_RESPBYTES)
TVR_OCSP_ITEM_DUP(OCSP_BASICRESP)
TVR_OCSP_ITEM_DUP(OCSP_SINGLERESP)
TVR_OCSP_ITEM_DUP(OCSP_CERTSTATUS)
TVR_OCSP_ITEM_DUP(OCSP_REVOKEDINFO)

#undef TVR_OCSP_ITEM_DUP

} // namespace TvrOCSP
