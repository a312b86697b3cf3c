#include "BigInt.h"

#include "ByteArray.h"
#include "TestHelpers.h"

#include <gtest/gtest.h>

using namespace TvrCommon;

namespace {
ByteArray Bytes(std::initializer_list<unsigned char> values)
{
    return ByteArray(std::data(values), values.size());
}
}  // namespace

TEST(BigIntTest, SerialBytesGiveMagnitudeText)
{
    EXPECT_EQ(BigInt(Bytes({0x00, 0x0A})).ToHexString(), "0A");
    EXPECT_EQ(BigInt(Bytes({0x0A, 0x1B, 0x2C})).ToHexString(), "0A:1B:2C");
    EXPECT_EQ(BigInt(Bytes({0x80, 0x00})).ToDecimalString(), "32768") << "unsigned magnitude";
    const BigInt zero{ByteArray()};
    EXPECT_EQ(zero.ToHexString(), "");
    EXPECT_EQ(zero.ToDecimalString(), "0");
    EXPECT_TRUE(zero == BigInt());
}

TEST(BigIntTest, TextsAndComparison)
{
    EXPECT_TRUE(BigInt("ff", true) == BigInt("255", false));
    const BigInt minusFive("-5", false);
    EXPECT_TRUE(minusFive < BigInt());
    EXPECT_EQ(minusFive.ToHexString(), "05");
    EXPECT_EQ(minusFive.ToDecimalString(), "-5");
    EXPECT_TRUE(BigInt("12xyz", false) == BigInt("12", false)) << "read as far as it forms a number";
    EXPECT_TRUE(BigInt("xyz", false) == BigInt());
    EXPECT_FALSE(BigInt("2", false) < BigInt("2", false));

    const std::string big = "123456789012345678901234567890123456789";
    EXPECT_EQ(BigInt(big, false).ToDecimalString(), big);
}

TEST(BigIntTest, CopiesAreIndependent)
{
    BigInt a("7", false);
    BigInt b(a);
    a = BigInt("8", false);
    EXPECT_EQ(b.ToDecimalString(), "7");
    EXPECT_EQ(a.ToDecimalString(), "8");
    BigInt& alias = a;
    a = alias;
    EXPECT_EQ(a.ToDecimalString(), "8");
}

TEST(BigIntTest, DerIntegerKeepsItsSign)
{
    EXPECT_EQ(BigInt::FromDerInteger(Bytes({0x02, 0x01, 0xFB})).ToDecimalString(), "-5");
    EXPECT_EQ(BigInt::FromDerInteger(Bytes({0x02, 0x02, 0x00, 0xFF})).ToDecimalString(), "255");
    EXPECT_EQ(CodeOf([] { BigInt::FromDerInteger(Bytes({0x04, 0x01, 0x00})); }), 3) << "an OCTET STRING is no INTEGER";
}
