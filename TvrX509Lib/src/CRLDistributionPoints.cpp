#include "CRLDistributionPoints.h"

#include "CRLDistributionPointsImpl.h"
#include "X509GeneralNameImpl.h"

#include <memory>

namespace TvrX509 {

// ---- CRLDistributionPoint ----

CRLDistributionPoint::CRLDistributionPoint() : m_impl(new CRLDistributionPointImpl()) {}

CRLDistributionPoint::CRLDistributionPoint(const CRLDistributionPoint& other)
    : m_impl(new CRLDistributionPointImpl(*other.m_impl))
{
}

CRLDistributionPoint& CRLDistributionPoint::operator=(const CRLDistributionPoint& other)
{
    if (m_impl != other.m_impl)
        *m_impl = *other.m_impl;
    return *this;
}

CRLDistributionPoint::~CRLDistributionPoint()
{
    delete m_impl;
}

std::unique_ptr<X509GeneralName> CRLDistributionPoint::GetFullName() const
{
    const DIST_POINT_NAME* pointName = m_impl->object->distpoint;
    if (!pointName || pointName->type != 0)
        return nullptr;
    auto name = std::make_unique<X509GeneralName>();
    const GENERAL_NAMES* names = pointName->name.fullname;
    if (sk_GENERAL_NAME_num(names) > 0) {
        const GENERAL_NAME* first = sk_GENERAL_NAME_value(names, 0);
        if (!first)
            throw TvrCommon::ErrCodeException(1);
        *name = X509GeneralNameImpl::FromOpenSSL(first);
    }
    return name;
}

// ---- CRLDistributionPointsImpl ----

std::vector<CRLDistributionPoint> CRLDistributionPointsImpl::GetDistributionPoints() const
{
    std::vector<CRLDistributionPoint> points;
    for (int i = 0; i < sk_DIST_POINT_num(object); ++i) {
        const DIST_POINT* element = sk_DIST_POINT_value(object, i);
        if (!element)
            throw TvrCommon::ErrCodeException(1);
        CRLDistributionPoint point;
        point.m_impl->Set(element);
        points.push_back(point);
    }
    return points;
}

// ---- CRLDistributionPoints ----

const std::string CRLDistributionPoints::OID = "2.5.29.31";

CRLDistributionPoints::CRLDistributionPoints()
    : X509Extension(), m_typed(new CRLDistributionPointsImpl())
{
    m_typed->extension = GetImpl();
}

CRLDistributionPoints::CRLDistributionPoints(const TvrASN1::DERBytes& value, bool critical)
    : X509Extension(OID, value, critical), m_typed(new CRLDistributionPointsImpl(value))
{
    m_typed->extension = GetImpl();
}

CRLDistributionPoints::CRLDistributionPoints(const CRLDistributionPoints& other)
    : X509Extension(other), m_typed(new CRLDistributionPointsImpl(*other.m_typed))
{
    m_typed->extension = GetImpl();
}

CRLDistributionPoints& CRLDistributionPoints::operator=(const CRLDistributionPoints& other)
{
    if (m_typed != other.m_typed) {
        X509Extension::operator=(other);
        *m_typed = *other.m_typed;
        m_typed->extension = GetImpl();
    }
    return *this;
}

CRLDistributionPoints::~CRLDistributionPoints()
{
    delete m_typed;
}

int CRLDistributionPoints::GetCount() const
{
    return sk_DIST_POINT_num(m_typed->object);
}

std::vector<CRLDistributionPoint> CRLDistributionPoints::GetDistributionPoints() const
{
    return m_typed->GetDistributionPoints();
}

} // namespace TvrX509
