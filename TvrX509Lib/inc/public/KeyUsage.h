#pragma once

#include "X509Extension.h"

#include <cstdint>
#include <string>

namespace TvrX509 {

class KeyUsageImpl;

// The keyUsage extension (2.5.29.15).
class KeyUsage : public X509Extension {
public:
    static const std::string OID;

    KeyUsage();
    KeyUsage(const TvrASN1::DERBytes& value, bool critical);
    KeyUsage(const KeyUsage& other);
    KeyUsage& operator=(const KeyUsage& other);
    virtual ~KeyUsage();

    // digitalSignature 0x01, nonRepudiation 0x02, keyEncipherment 0x04,
    // dataEncipherment 0x08, keyAgreement 0x10, keyCertSign 0x20, cRLSign 0x40,
    // encipherOnly 0x80 (decipherOnly has no flag). Fills and returns `flags`.
    uint32_t& GetFlags(uint32_t& flags) const;

    // Masks in the bit order of the first content octet (0x80 digitalSignature ...
    // 0x01 encipherOnly). 0 suitable; 2 none of the allowed or not all required bits;
    // 3 a bit outside the allowed mask, or decipherOnly.
    static int Check(unsigned char allowedMask, unsigned char requiredMask,
                     const KeyUsage& keyUsage);

private:
    KeyUsageImpl* m_typed;
};

} // namespace TvrX509
