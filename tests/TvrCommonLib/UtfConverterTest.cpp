#include "UtfConverter.h"

#include "ConvertUTF.h"
#include "Cp1250.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct UtfCase {
    std::string utf8;
    std::u16string utf16;
};

TEST(UtfConverterTest, WellFormedTextConvertsBothWays)
{
    const UtfCase cases[] = {
        {"", u""},
        {"abc", u"abc"},
        {"\xC3\xA1", u"\u00E1"},
        {"\xE2\x82\xAC", u"\u20AC"},
        {"\xEF\xBF\xBF", u"\uFFFF"},
        {"\xF0\x9F\x98\x80", {char16_t(0xD83D), char16_t(0xDE00)}},
        {"\xF4\x8F\xBF\xBF", {char16_t(0xDBFF), char16_t(0xDFFF)}},
        {"\xC5\x91r\xC3\xBC" "\xF0\x90\x80\x80" "x", u"\u0151r\u00FC\U00010000x"},
    };
    UtfConverter converter;
    for (const UtfCase& c : cases) {
        EXPECT_EQ(std::u16string(converter.Utf8ToWide(c.utf8.c_str())), c.utf16) << c.utf8;
        EXPECT_EQ(std::string(converter.WideToUtf8(c.utf16.c_str())), c.utf8) << c.utf8;
    }
}

TEST(UtfConverterTest, MalformedUtf8IsRefused)
{
    const char* cases[] = {
        "\xC3",                 // ends inside a character
        "\xE2\x82",             // ends inside a character
        "\xED\xA0\x80",         // encoded surrogate
        "\xC0\x80",             // overlong
        "\xC1\xBF",             // overlong
        "\xE0\x80\x80",         // overlong
        "\xF0\x80\x80\x80",     // overlong
        "\xF4\x90\x80\x80",     // above U+10FFFF
        "\x80",                 // lone trail byte
        "\xC3\x28",             // bad trail byte
        "\xF8\x88\x80\x80\x80", // five-byte form
        "ok\xFF",
    };
    UtfConverter converter;
    for (const char* text : cases)
        EXPECT_THROW(converter.Utf8ToWide(text), UtfConverter::ConversionErrorException) << text;
}

TEST(UtfConverterTest, MalformedUtf16IsRefused)
{
    const std::u16string cases[] = {
        {char16_t(0xD83D)},                 // lone high surrogate at the end
        {char16_t(0xDE00)},                 // lone low surrogate
        {char16_t(0xD83D), u'A'},           // high surrogate before a non-surrogate
        {u'a', char16_t(0xDE00), char16_t(0xD83D)},
    };
    UtfConverter converter;
    for (const std::u16string& text : cases)
        EXPECT_THROW(converter.WideToUtf8(text.c_str()), UtfConverter::ConversionErrorException);
    EXPECT_THROW(converter.WideToUtf8(nullptr), UtfConverter::ConversionErrorException);
    EXPECT_THROW(converter.Utf8ToWide(nullptr), UtfConverter::ConversionErrorException);
}

TEST(UtfConverterTest, EarlierResultsStayValid)
{
    UtfConverter converter;
    const char16_t* first = converter.Utf8ToWide("\xC3\xA1rv\xC3\xADzt\xC5\xB1r\xC5\x91");
    const char* second = converter.WideToUtf8(u"t\u00FCk\u00F6rf\u00FAr\u00F3g\u00E9p");
    for (int i = 0; i < 50; ++i)
        converter.Utf8ToWide(std::string(i, 'x').c_str());
    EXPECT_EQ(std::u16string(first), u"\u00E1rv\u00EDzt\u0171r\u0151");
    EXPECT_STREQ(second, "t\xC3\xBCk\xC3\xB6rf\xC3\xBAr\xC3\xB3g\xC3\xA9p");
}

TEST(ConvertUtfTest, RoutinesStopAtFullTargetAndLenientReplaces)
{
    const unsigned char text[] = "a\xE2\x82\xAC";
    const unsigned char* source = text;
    char16_t out[4] = {};
    char16_t* target = out;
    EXPECT_EQ(ConvertUTF8toUTF16(&source, text + 4, &target, out + 1, strictConversion), targetExhausted);
    EXPECT_EQ(source, text + 1);
    EXPECT_EQ(target, out + 1);

    // A pair needs two units of room.
    const unsigned char emoji[] = "\xF0\x9F\x98\x80";
    source = emoji;
    target = out;
    EXPECT_EQ(ConvertUTF8toUTF16(&source, emoji + 4, &target, out + 1, strictConversion), targetExhausted);
    EXPECT_EQ(source, emoji);

    const char16_t lone[] = {0xDE00, 'x'};
    const char16_t* wide = lone;
    unsigned char bytes[8] = {};
    unsigned char* byteTarget = bytes;
    EXPECT_EQ(ConvertUTF16toUTF8(&wide, lone + 2, &byteTarget, bytes + 8, lenientConversion), conversionOK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), byteTarget - bytes), "\xED\xB8\x80x");

    const char16_t euro[] = {0x20AC};
    wide = euro;
    byteTarget = bytes;
    EXPECT_EQ(ConvertUTF16toUTF8(&wide, euro + 1, &byteTarget, bytes + 2, strictConversion), targetExhausted);
    EXPECT_EQ(wide, euro);
}

TEST(Cp1250Test, DecodesToUtf8)
{
    EXPECT_EQ(TvrCommon::Cp1250ToUtf8("\x8A\xE1rv\xED\x7A\x9E\xFB"), "\xC5\xA0\xC3\xA1rv\xC3\xAD" "z\xC5\xBE\xC5\xB1");
    EXPECT_EQ(TvrCommon::Cp1250ToUtf8(std::string("a\x81\0b", 4)), std::string("a\xEF\xBF\xBD\0b", 6));
    EXPECT_EQ(TvrCommon::Cp1250ToUtf8(""), "");
}

} // namespace
