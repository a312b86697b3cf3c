#include "KeyUsage.h"

#include "ExtendedKeyUsage.h"
#include "KeyUsageImpl.h"

#include <openssl/objects.h>

namespace TvrX509 {

const std::string KeyUsage::OID = "2.5.29.15";

KeyUsage::KeyUsage() : X509Extension(), m_typed(new KeyUsageImpl())
{
    m_typed->extension = GetImpl();
}

KeyUsage::KeyUsage(const TvrASN1::DERBytes& value, bool critical)
    : X509Extension(OID, value, critical), m_typed(new KeyUsageImpl(value))
{
    m_typed->extension = GetImpl();
}

KeyUsage::KeyUsage(const KeyUsage& other)
    : X509Extension(other), m_typed(new KeyUsageImpl(*other.m_typed))
{
    m_typed->extension = GetImpl();
}

KeyUsage& KeyUsage::operator=(const KeyUsage& other)
{
    if (m_typed != other.m_typed) {
        X509Extension::operator=(other);
        *m_typed = *other.m_typed;
        m_typed->extension = GetImpl();
    }
    return *this;
}

KeyUsage::~KeyUsage()
{
    delete m_typed;
}

uint32_t& KeyUsage::GetFlags(uint32_t& flags) const
{
    flags = 0;
    const ASN1_BIT_STRING* bits = m_typed->object;
    if (bits && ASN1_STRING_length(bits) > 0) {
        unsigned char first = ASN1_STRING_get0_data(bits)[0];
        // The first octet carries digitalSignature in its top bit; flags count upwards.
        for (int bit = 0; bit < 8; ++bit) {
            if (first & (0x80 >> bit))
                flags |= 1u << bit;
        }
    }
    return flags;
}

int KeyUsage::Check(unsigned char allowedMask, unsigned char requiredMask, const KeyUsage& keyUsage)
{
    const ASN1_BIT_STRING* bits = keyUsage.m_typed->object;
    int length = bits ? ASN1_STRING_length(bits) : 0;
    unsigned char b0 = length > 0 ? ASN1_STRING_get0_data(bits)[0] : 0;
    unsigned char b1 = length > 1 ? ASN1_STRING_get0_data(bits)[1] : 0;
    if ((allowedMask & b0) == 0)
        return 2;
    if ((~allowedMask & b0) != 0 || b1 != 0)
        return 3;
    return (b0 & requiredMask) == requiredMask ? 0 : 2;
}

// ---- ExtendedKeyUsage ----

const std::string ExtendedKeyUsage::OID = "2.5.29.37";

ExtendedKeyUsage::ExtendedKeyUsage() : X509Extension(), m_typed(new ExtendedKeyUsageImpl())
{
    m_typed->extension = GetImpl();
}

ExtendedKeyUsage::ExtendedKeyUsage(const TvrASN1::DERBytes& value, bool critical)
    : X509Extension(OID, value, critical), m_typed(new ExtendedKeyUsageImpl(value))
{
    m_typed->extension = GetImpl();
}

ExtendedKeyUsage::ExtendedKeyUsage(const ExtendedKeyUsage& other)
    : X509Extension(other), m_typed(new ExtendedKeyUsageImpl(*other.m_typed))
{
    m_typed->extension = GetImpl();
}

ExtendedKeyUsage& ExtendedKeyUsage::operator=(const ExtendedKeyUsage& other)
{
    if (m_typed != other.m_typed) {
        X509Extension::operator=(other);
        *m_typed = *other.m_typed;
        m_typed->extension = GetImpl();
    }
    return *this;
}

ExtendedKeyUsage::~ExtendedKeyUsage()
{
    delete m_typed;
}

int ExtendedKeyUsage::GetCount() const
{
    return sk_ASN1_OBJECT_num(m_typed->object);
}

std::unique_ptr<std::vector<std::string>> ExtendedKeyUsage::GetOIDs() const
{
    auto oids = std::make_unique<std::vector<std::string>>();
    for (int i = 0; i < sk_ASN1_OBJECT_num(m_typed->object); ++i)
        oids->push_back(ObjectToText(sk_ASN1_OBJECT_value(m_typed->object, i), 1));
    return oids;
}

} // namespace TvrX509
