#pragma once

#include "BigInt.h"
#include "Date.h"

namespace TvrX509 {

class X509RevokedImpl;
class X509CRLImpl;

// One revoked-certificate entry of a CRL.
class X509Revoked {
public:
    X509Revoked();
    X509Revoked(const X509Revoked& other);
    X509Revoked& operator=(const X509Revoked& other);
    virtual ~X509Revoked();

    // The magnitude bytes of the entry's serial number.
    TvrCommon::BigInt GetSerialNumber() const;
    TvrCommon::Date GetRevocationDate() const;

private:
    friend class X509CRLImpl;
    X509RevokedImpl* m_impl;
};

} // namespace TvrX509
