#include "ASN1Exception.h"

namespace TvrASN1 {

ASN1Exception::ASN1Exception(int asn1Code) : TvrCommon::ErrCodeException(1), m_asn1Code(asn1Code) {}

ASN1Exception::ASN1Exception(const ASN1Exception& other)
    : TvrCommon::ErrCodeException(1), m_asn1Code(other.m_asn1Code)
{
}

ASN1Exception& ASN1Exception::operator=(const ASN1Exception& other)
{
    m_asn1Code = other.m_asn1Code;
    return *this;
}

ASN1Exception::~ASN1Exception() = default;

const char* ASN1Exception::what() const noexcept
{
    return "TvrCrypto::ASN1Exception";
}

int ASN1Exception::GetASN1Code() const
{
    return m_asn1Code;
}

} // namespace TvrASN1
