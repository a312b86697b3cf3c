#include "Base64.h"

#include "TestHelpers.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <string>
#include <vector>

using namespace TvrCommon;

TEST(Base64Test, EncodesOneLineOrLinesOf64)
{
    EXPECT_EQ(*Base64Encode("abc", 3, false), "YWJj");
    EXPECT_EQ(*Base64Encode("abc", 3, true), "YWJj");

    const std::string sixty(60, 'x');
    const std::string lines = *Base64Encode(sixty.data(), 60, true);
    ASSERT_EQ(lines.size(), 64u + 1 + 16);
    EXPECT_EQ(lines[64], '\n');
    EXPECT_EQ(lines.find('\n', 65), std::string::npos);

    const std::string oneLine = *Base64Encode(sixty.data(), 60, false);
    EXPECT_EQ(oneLine.size(), 80u);
    EXPECT_EQ(oneLine.find('\n'), std::string::npos);

    EXPECT_EQ(CodeOf([] { Base64Encode("", 0, false); }), 1);
}

TEST(Base64Test, DecodesWhatItEncodesWithAndWithoutLineBreaks)
{
    std::vector<unsigned char> bytes(1000);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7);
    }
    for (bool breaks : {false, true}) {
        const std::string text = *Base64Encode(bytes.data(), static_cast<int>(bytes.size()), breaks);
        Base64DecodedBuffer decoded(text.c_str());
        ASSERT_EQ(decoded.GetSize(), bytes.size()) << "line breaks " << breaks;
        EXPECT_EQ(std::vector<unsigned char>(decoded.GetData(), decoded.GetData() + decoded.GetSize()), bytes);
    }
    // One long line ended by a line feed, and lines of uneven length.
    const std::string longLine = *Base64Encode(bytes.data(), static_cast<int>(bytes.size()), false) + "\n";
    Base64DecodedBuffer whole(longLine.c_str());
    ASSERT_EQ(whole.GetSize(), bytes.size());
    EXPECT_EQ(std::vector<unsigned char>(whole.GetData(), whole.GetData() + whole.GetSize()), bytes);
    Base64DecodedBuffer uneven("YW\nJjZ\nA=\n=");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(uneven.GetData()), uneven.GetSize()), "abcd");
    // CR LF line ends, as PEM files written on other systems have them.
    Base64DecodedBuffer crlf("YWJj\r\nZGVm\r\n");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(crlf.GetData()), crlf.GetSize()), "abcdef");
}

TEST(Base64Test, DecodedBufferOwnershipAndWipe)
{
    unsigned char* released = nullptr;
    {
        Base64DecodedBuffer decoded("YWJj");
        ASSERT_EQ(decoded.GetSize(), 3u);
        EXPECT_EQ(decoded.GetData()[3], 0) << "a zero byte follows the data";
        released = decoded.Release();
    }
    EXPECT_EQ(std::string(reinterpret_cast<char*>(released), 3), "abc");
    OPENSSL_free(released);

    Base64DecodedBuffer wiped("c2VjcmV0");
    wiped.Wipe();
    ASSERT_EQ(wiped.GetSize(), 6u);
    for (size_t i = 0; i < wiped.GetSize(); ++i) {
        EXPECT_EQ(wiped.GetData()[i], 0);
    }

    Base64DecodedBuffer empty("");
    EXPECT_EQ(empty.GetSize(), 0u);
    empty.Wipe();
}

// Decodes a text, or reports "code N" for a failure.
std::string Decode(const char* text)
{
    try {
        Base64DecodedBuffer decoded(text);
        return std::string(reinterpret_cast<const char*>(decoded.GetData()), decoded.GetSize());
    } catch (const ErrCodeException& e) {
        return "code " + std::to_string(e.GetCode());
    }
}

TEST(Base64Test, MalformedTextIsAnErrorNeverAPartialResult)
{
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"YWJjZA==", "abcd"},
        {"YWJjZGU=", "abcde"},
        {"YWJj\nZA==\n", "abcd"},
        {"YWJj\r\nZGVm\r\nZw==", "abcdefg"},
        {"YWJjZA", "code 4"},       // padding missing: a byte would be lost
        {"YWJjZGU", "code 4"},
        {"YW=j", "code 4"},         // a letter after the padding
        {"YWJj====", "code 4"},     // padding without letters
        {"YWJjZ===", "code 4"},
        {"YWJjZA=", "code 4"},
        {"YQ==YQ==", "code 4"},     // padding in the middle
        {"YWJ", "code 4"},
        {"Y", "code 4"},
        {"=", "code 4"},
        {"!!!!", "code 4"},
        {"YWJj!", "code 4"},
        {"YW Jj", "code 4"},        // only line breaks may stand between the letters
        {"YWJj\n-----END", "code 4"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Decode(c.text), c.expected) << c.text;
    }
    EXPECT_EQ(Decode(nullptr), "code 4");
}
