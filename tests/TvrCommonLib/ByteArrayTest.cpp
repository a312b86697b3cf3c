#include "ByteArray.h"

#include "CapturingLogger.h"
#include "ErrCodeException.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using TvrCommon::ByteArray;

namespace {

ByteArray Bytes(const std::string& s)
{
    return ByteArray(s);
}

TEST(ByteArrayTest, KeepsZeroBytesAndCopiesIndependently)
{
    const std::string raw("a\0b\0\0", 5);
    ByteArray a(raw);
    EXPECT_EQ(a.GetSize(), 5u);
    EXPECT_EQ(a.ToString(), raw);
    ByteArray copy(a);
    copy.Append(reinterpret_cast<const unsigned char*>("z"), 1);
    EXPECT_EQ(a.GetSize(), 5u);
    EXPECT_EQ(copy.GetSize(), 6u);
    EXPECT_NE(ByteArray().GetData(), nullptr);
    EXPECT_EQ(ByteArray(nullptr, 0).GetSize(), 0u);
    EXPECT_EQ(ByteArray(3, 0xAB).Hexify(0, 0), "ababab");
}

TEST(ByteArrayTest, EqualsAndOrdering)
{
    const unsigned char one = 1;
    EXPECT_FALSE(ByteArray().Equals(nullptr, 0));
    EXPECT_TRUE(ByteArray().Equals(&one, 0));
    EXPECT_TRUE(Bytes("\x01").Equals(&one, 1));
    EXPECT_FALSE(Bytes("\x01\x02").Equals(&one, 1));

    EXPECT_TRUE(Bytes("\x01") < Bytes(std::string("\x01\x00", 2)));
    EXPECT_TRUE(Bytes("\x7F") < Bytes("\x80"));
    EXPECT_FALSE(Bytes("\x80") < Bytes("\x7F"));
    EXPECT_TRUE(Bytes("ab") == Bytes("ab"));
    EXPECT_TRUE(Bytes("ab") != Bytes("ac"));
}

TEST(ByteArrayTest, InsertChecksPosition)
{
    ByteArray a = Bytes("ac");
    a.Insert(1, reinterpret_cast<const unsigned char*>("b"), 1);
    a.Insert(3, reinterpret_cast<const unsigned char*>("d"), 1);
    EXPECT_EQ(a.ToString(), "abcd");
    try {
        a.Insert(5, reinterpret_cast<const unsigned char*>("x"), 1);
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "invalid string position");
    }
    a.Assign(2, 0x00);
    EXPECT_EQ(a.ToString(), std::string(2, '\0'));
}

TEST(ByteArrayTest, HexifySettings)
{
    const ByteArray bytes = Bytes("\x0A\x1B\x2C");
    struct Case {
        int upper;
        int separator;
        const char* text;
    } cases[] = {
        {1, 1, "0A:1B:2C"}, {0, 2, "0a 1b 2c"}, {0, 0, "0a1b2c"},
        {2, 0, "0a1b2c"},   {1, 5, "0A:1B:2C"}, {-1, -1, "0a:1b:2c"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bytes.Hexify(c.upper, c.separator), c.text) << c.upper << "," << c.separator;
    EXPECT_EQ(Bytes("\x05").Hexify(1, 1), "05");
    EXPECT_EQ(ByteArray().Hexify(1, 1), "");
}

TEST(ByteArrayTest, DeHexifyReadsEveryHexifyForm)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    const ByteArray bytes(all);
    for (int upper : {0, 1})
        for (int separator : {0, 1, 2})
            EXPECT_EQ(ByteArray::DeHexify(bytes.Hexify(upper, separator)), bytes);
    for (const char* text : {"0A:1B", "0a 1b", "0a1b", " 0a::1B "})
        EXPECT_EQ(ByteArray::DeHexify(text).ToString(), "\x0A\x1B") << text;
    EXPECT_EQ(ByteArray::DeHexify("").GetSize(), 0u);
}

TEST(ByteArrayTest, DeHexifyErrorsLogTheirTextAndThrowFormatError)
{
    struct Case {
        const char* text;
        const char* log;
    } cases[] = {
        {"A:B", "ByteArray::DeHexify -> separator character ':'between hex-pair!\n"},
        {"0 a", "ByteArray::DeHexify -> separator character ' 'between hex-pair!\n"},
        {"0a1", "ByteArray::DeHexify -> odd number of hex characters!\n"},
        {"0g", "ByteArray::DeHexify -> invalid character: 'g'!\n"},
        {"0x1f", "ByteArray::DeHexify -> invalid character: 'x'!\n"},
    };
    for (const Case& c : cases) {
        CapturingLogger logger;
        TvrCommon::SetLogger(&logger);
        try {
            ByteArray::DeHexify(c.text);
            ADD_FAILURE() << c.text << ": no exception";
        } catch (const TvrCommon::ErrCodeException& e) {
            EXPECT_EQ(e.GetCode(), 7) << c.text;
        }
        TvrCommon::SetLogger(nullptr);
        EXPECT_EQ(logger.error.str(), std::string(c.log) + "Error occured; Format error\n") << c.text;
    }
}

} // namespace
