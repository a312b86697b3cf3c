#pragma once

#include "CRLDistributionPoints.h"
#include "ItemDup.h"
#include "TypedExtensionImpl.h"

namespace TvrX509 {

class CRLDistributionPointImpl : public TvrASN1::OpenSSLBase<DIST_POINT> {
public:
    CRLDistributionPointImpl()
        : OpenSSLBase(DIST_POINT_new, DIST_POINT_free, DIST_POINT_dup, d2i_DIST_POINT,
                      i2d_DIST_POINT)
    {
    }
};

class CRLDistributionPointsImpl : public TypedExtensionImpl<CRL_DIST_POINTS> {
public:
    CRLDistributionPointsImpl()
        : TypedExtensionImpl(CRL_DIST_POINTS_new, CRL_DIST_POINTS_free, CRL_DIST_POINTS_dup,
                             d2i_CRL_DIST_POINTS, i2d_CRL_DIST_POINTS)
    {
    }
    explicit CRLDistributionPointsImpl(const TvrASN1::DERBytes& value)
        : TypedExtensionImpl(value, CRL_DIST_POINTS_new, CRL_DIST_POINTS_free,
                             CRL_DIST_POINTS_dup, d2i_CRL_DIST_POINTS, i2d_CRL_DIST_POINTS)
    {
    }

    std::vector<CRLDistributionPoint> GetDistributionPoints() const;
};

} // namespace TvrX509
