#pragma once

#include "ErrCodeException.h"

namespace TvrASN1 {

// DER that OpenSSL cannot decode. Always error code 1; carries its own ASN.1 code.
class ASN1Exception : public TvrCommon::ErrCodeException {
public:
    explicit ASN1Exception(int asn1Code);
    ASN1Exception(const ASN1Exception& other);
    ASN1Exception& operator=(const ASN1Exception& other);
    virtual ~ASN1Exception();

    // The fixed text "TvrCrypto::ASN1Exception".
    virtual const char* what() const noexcept override;
    int GetASN1Code() const;

private:
    int m_asn1Code;
};

} // namespace TvrASN1
