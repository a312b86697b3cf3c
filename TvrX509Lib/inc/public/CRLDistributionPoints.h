#pragma once

#include "X509Extension.h"
#include "X509GeneralName.h"

#include <memory>
#include <string>
#include <vector>

namespace TvrX509 {

class CRLDistributionPointImpl;
class CRLDistributionPointsImpl;

// One DistributionPoint.
class CRLDistributionPoint {
public:
    CRLDistributionPoint();
    CRLDistributionPoint(const CRLDistributionPoint& other);
    CRLDistributionPoint& operator=(const CRLDistributionPoint& other);
    virtual ~CRLDistributionPoint();

    // The first name of a fullName distribution point; null for none or for a
    // nameRelativeToCRLIssuer.
    std::unique_ptr<X509GeneralName> GetFullName() const;

private:
    friend class CRLDistributionPointsImpl;
    CRLDistributionPointImpl* m_impl;
};

// The cRLDistributionPoints extension (2.5.29.31).
class CRLDistributionPoints : public X509Extension {
public:
    static const std::string OID;

    CRLDistributionPoints();
    CRLDistributionPoints(const TvrASN1::DERBytes& value, bool critical);
    CRLDistributionPoints(const CRLDistributionPoints& other);
    CRLDistributionPoints& operator=(const CRLDistributionPoints& other);
    virtual ~CRLDistributionPoints();

    int GetCount() const;
    std::vector<CRLDistributionPoint> GetDistributionPoints() const;

private:
    CRLDistributionPointsImpl* m_typed;
};

} // namespace TvrX509
