#include "BigInt.h"

#include "BigIntImpl.h"
#include "ByteArray.h"
#include "ErrCodeException.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>

#include <memory>
#include <vector>

namespace TvrCommon {

BigIntImpl::BigIntImpl(BIGNUM* number_) : number(number_)
{
    if (number == nullptr) {
        throw ErrCodeException(3);
    }
}

BigIntImpl::~BigIntImpl()
{
    BN_free(number);
}

namespace {

BIGNUM* ParseText(const std::string& text, bool hexadecimal)
{
    BIGNUM* number = nullptr;
    const int read = hexadecimal ? BN_hex2bn(&number, text.c_str()) : BN_dec2bn(&number, text.c_str());
    if (read == 0) {
        // No digits: zero, as the text does not form a number.
        BN_free(number);
        return BN_new();
    }
    return number;
}

}  // namespace

BigInt::BigInt(BigIntImpl* impl) : m_impl(impl) {}

BigInt::BigInt() : m_impl(new BigIntImpl(BN_new())) {}

BigInt::BigInt(const BigInt& other) : m_impl(new BigIntImpl(BN_dup(other.m_impl->number))) {}

BigInt& BigInt::operator=(const BigInt& other)
{
    if (this != &other) {
        BIGNUM* copy = BN_dup(other.m_impl->number);
        if (copy == nullptr) {
            throw ErrCodeException(3);
        }
        BN_free(m_impl->number);
        m_impl->number = copy;
    }
    return *this;
}

BigInt::BigInt(const ByteArray& bytes)
    : m_impl(new BigIntImpl(BN_bin2bn(bytes.GetData(), static_cast<int>(bytes.GetSize()), nullptr)))
{
}

BigInt::BigInt(const std::string& text, bool hexadecimal) : m_impl(new BigIntImpl(ParseText(text, hexadecimal))) {}

BigInt::~BigInt()
{
    delete m_impl;
}

BigInt BigInt::FromDerInteger(const ByteArray& der)
{
    const unsigned char* cursor = der.GetData();
    std::unique_ptr<ASN1_INTEGER, decltype(&ASN1_INTEGER_free)> integer(
        d2i_ASN1_INTEGER(nullptr, &cursor, static_cast<long>(der.GetSize())), &ASN1_INTEGER_free);
    if (!integer) {
        throw ErrCodeException(3);
    }
    return BigInt(new BigIntImpl(ASN1_INTEGER_to_BN(integer.get(), nullptr)));
}

bool BigInt::operator==(const BigInt& other) const
{
    return BN_cmp(m_impl->number, other.m_impl->number) == 0;
}

bool BigInt::operator<(const BigInt& other) const
{
    return BN_cmp(m_impl->number, other.m_impl->number) < 0;
}

std::string BigInt::ToHexString() const
{
    const int length = BN_num_bytes(m_impl->number);
    if (length == 0) {
        return std::string();
    }
    std::vector<unsigned char> magnitude(static_cast<size_t>(length));
    BN_bn2bin(m_impl->number, magnitude.data());
    return ByteArray(magnitude.data(), magnitude.size()).Hexify(1, 1);
}

std::string BigInt::ToDecimalString() const
{
    char* text = BN_bn2dec(m_impl->number);
    if (text == nullptr) {
        throw ErrCodeException(3);
    }
    std::string result(text);
    OPENSSL_free(text);
    return result;
}

}  // namespace TvrCommon
