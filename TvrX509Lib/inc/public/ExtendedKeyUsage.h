#pragma once

#include "X509Extension.h"

#include <memory>
#include <string>
#include <vector>

namespace TvrX509 {

class ExtendedKeyUsageImpl;

// The extendedKeyUsage extension (2.5.29.37).
class ExtendedKeyUsage : public X509Extension {
public:
    static const std::string OID;

    ExtendedKeyUsage();
    ExtendedKeyUsage(const TvrASN1::DERBytes& value, bool critical);
    ExtendedKeyUsage(const ExtendedKeyUsage& other);
    ExtendedKeyUsage& operator=(const ExtendedKeyUsage& other);
    virtual ~ExtendedKeyUsage();

    int GetCount() const;
    // The purposes' OIDs in dotted form, in extension order.
    std::unique_ptr<std::vector<std::string>> GetOIDs() const;

private:
    ExtendedKeyUsageImpl* m_typed;
};

} // namespace TvrX509
