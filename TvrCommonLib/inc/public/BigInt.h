#ifndef TVRCOMMON_BIGINT_H
#define TVRCOMMON_BIGINT_H

#include <string>

namespace TvrCommon {

class BigIntImpl;
class ByteArray;

// An arbitrary-precision signed integer (serial numbers of certificates and CRLs).
class BigInt {
public:
    BigInt();
    BigInt(const BigInt& other);
    BigInt& operator=(const BigInt& other);
    // The bytes as an unsigned big-endian magnitude.
    explicit BigInt(const ByteArray& bytes);
    // Decimal or hexadecimal text, read as far as it forms a number.
    BigInt(const std::string& text, bool hexadecimal);
    virtual ~BigInt();

    // The DER encoding of an ASN.1 INTEGER, sign included; malformed input throws code 3.
    static BigInt FromDerInteger(const ByteArray& der);

    bool operator==(const BigInt& other) const;
    bool operator<(const BigInt& other) const;

    // The magnitude as upper-case, colon-separated hex bytes; zero gives "".
    std::string ToHexString() const;
    std::string ToDecimalString() const;

private:
    explicit BigInt(BigIntImpl* impl);

    BigIntImpl* m_impl;
};

}  // namespace TvrCommon

#endif
