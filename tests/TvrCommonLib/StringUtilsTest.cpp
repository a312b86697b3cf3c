#include "StringUtils.h"

#include "ByteArray.h"
#include "CapturingLogger.h"
#include "ErrCodeException.h"
#include "TestHelpers.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace TvrCommon;
using namespace TvrCommon::StringUtils;

namespace {

class StringUtilsTest : public ::testing::Test {
protected:
    void SetUp() override { SetLogger(&logger); }
    void TearDown() override { SetLogger(nullptr); }
    CapturingLogger logger;
};

}  // namespace

TEST_F(StringUtilsTest, FormatFollowsPrintfRulesWithTypedArguments)
{
    EXPECT_EQ(Format("%s=%d", "a", 5), "a=5");
    EXPECT_EQ(Format("%s|%5.1f|%-3c|", std::string("pi"), 3.14159, 'x'), "pi|  3.1|x  |");
    EXPECT_EQ(Format("100%%"), "100%");
    EXPECT_EQ(Format("%llu", UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(Format("%d", INT64_MIN), "-9223372036854775808") << "64-bit values are not cut to 32 bits";
    EXPECT_EQ(Format("%x", -1), "ffffffff") << "an int keeps its own width";
    EXPECT_EQ(Format("%hhx", 0x1ff), "ff");
    const int dummy = 0;
    char expected[32];
    std::snprintf(expected, sizeof expected, "%p", static_cast<const void*>(&dummy));
    EXPECT_EQ(Format("%p", &dummy), expected);

    // The certificate library's thumbprint text: twenty "%02X" of a digest.
    const unsigned char d[20] = {0x00, 0x01, 0xAB, 0xFF, 0x10, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    const std::string twenty =
        Format("%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X", d[0], d[1], d[2],
               d[3], d[4], d[5], d[6], d[7], d[8], d[9], d[10], d[11], d[12], d[13], d[14], d[15], d[16], d[17], d[18],
               d[19]);
    EXPECT_EQ(twenty, "0001ABFF100506070809" "0A0B0C0D0E0F10111213");
}

TEST_F(StringUtilsTest, FormatPositionalPlaceholders)
{
    EXPECT_EQ(Format("%2$s-%1$s", "a", "b"), "b-a");
    EXPECT_NE(logger.debug.str().find("n: 2, args[n-1]: b"), std::string::npos);
    EXPECT_EQ(Format("%1$s%1$s %2$s", "x", std::string("y")), "xx y");
    EXPECT_EQ(Format("%1$s", "one") , "one") << "a single placeholder follows printf rules";

    const char* twelve = "%1$s%2$s%3$s%4$s%5$s%6$s%7$s%8$s%9$s%10$s%11$s%12$s";
    EXPECT_EQ(Format(twelve, "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l"), "abcdefghijkl");

    logger.debug.str("");
    const char* thirteen = "%1$s%2$s%3$s%4$s%5$s%6$s%7$s%8$s%9$s%10$s%11$s%12$s%13$s";
    EXPECT_EQ(CodeOf([&] { Format(thirteen, "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m"); }), 2);
    EXPECT_NE(logger.debug.str().find("too many %s"), std::string::npos);
}

TEST_F(StringUtilsTest, FormatRejectsWhatItCannotFormatSafely)
{
    struct Case {
        int code;
        const char* what;
    };
    const Case cases[] = {
        {CodeOf([] { Format("%s %d", "a"); }), "fewer arguments than conversions"},
        {CodeOf([] { Format("%d", "text"); }), "text for an integer"},
        {CodeOf([] { Format("%s", 5); }), "integer for a text"},
        {CodeOf([] { Format("%f", 5); }), "integer for a floating value"},
        {CodeOf([] { Format("%s", static_cast<const char*>(nullptr)); }), "null text"},
        {CodeOf([] { Format("%n", 5); }), "%n"},
        {CodeOf([] { Format("%*d", 5, 5); }), "width from the arguments"},
        {CodeOf([] { Format("abc%"); }), "lone percent at the end"},
        {CodeOf([] { Format("%3$s-%1$s", "a", "b", "c"); }), "number above the placeholder count"},
        {CodeOf([] { Format("%0$s-%1$s", "a", "b"); }), "number zero"},
        {CodeOf([] { Format("%2$s-%1$s", "a"); }), "fewer texts than placeholders name"},
        {CodeOf([] { Format("%2$s-%1$s", "a", 7); }), "positional argument that is no text"},
        {CodeOf([] { Format("%2$s-%1$s %d", "a", "b", 7); }), "other conversion among placeholders"},
        {CodeOf([] { Format(nullptr); }), "null format"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.code, 4) << c.what;
    }
}

TEST_F(StringUtilsTest, PathAndTextHelpers)
{
    EXPECT_EQ(InsertBeforeExtension("D:\\a.b\\trace.log", ".1"), "D:\\a.b\\trace.1.log");
    EXPECT_EQ(InsertBeforeExtension("D:\\a.b\\trace", ".1"), "D:\\a.b\\trace.1");
    EXPECT_EQ(InsertBeforeExtension("a/b.c/d", ".1"), "a/b.c/d.1");
    EXPECT_EQ(InsertBeforeExtension("x.tar.gz", ".1"), "x.tar.1.gz");

    EXPECT_EQ(XmlEscape("a<b & 'c'"), "a&lt;b &amp; 'c'");
    EXPECT_EQ(XmlEscape("\"x\">\r"), "&quot;x&quot;&gt;&#13;");
    EXPECT_EQ(XmlEscape(nullptr), "");
    const std::string longText(5000, '&');
    EXPECT_EQ(XmlEscape(longText.c_str()).size(), 5 * longText.size());

    EXPECT_EQ(ErrnoText(ENOENT), "No such file or directory");

    EXPECT_EQ(PercentEncode("a b\xE9\n", " \xE9\n"), "a%20b%E9%0A");
    EXPECT_EQ(PercentEncode("plain", ""), "plain");
}

TEST_F(StringUtilsTest, HexDecode)
{
    const unsigned char expected[] = {0x0A, 0xFF};
    EXPECT_TRUE(HexDecode("0aFF").Equals(expected, 2));
    EXPECT_TRUE(HexDecode("0aF").Equals(expected, 1)) << "an odd last character is ignored";
    EXPECT_EQ(HexDecode("").GetSize(), 0u);
    for (const char* bad : {"zz", "0aZZ", "0z", "-1", " a"}) {
        logger.debug.str("");
        EXPECT_EQ(HexDecode(bad).GetSize(), 0u) << bad;
        EXPECT_NE(logger.debug.str().find("something wrong with hex encoding"), std::string::npos) << bad;
    }
}

TEST_F(StringUtilsTest, Split)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(Split("a,,b", ","), (V{"a", "", "b"}));
    EXPECT_EQ(Split(",a", ","), (V{"", "a"}));
    EXPECT_EQ(Split("a,", ","), (V{"a"}));
    EXPECT_EQ(Split("", ","), V{});
    EXPECT_EQ(Split("a;b,c", ",;"), (V{"a", "b", "c"}));
    EXPECT_EQ(Split("abc", ""), (V{"abc"}));
}

TEST_F(StringUtilsTest, ReplaceXmlEncoding)
{
    EXPECT_EQ(ReplaceXmlEncoding("<?xml version='1.0' encoding='UTF-8'?><a/>", "windows-1250"),
              "<?xml version='1.0' encoding=\"windows-1250\"?><a/>");
    EXPECT_EQ(ReplaceXmlEncoding("<?xml version=\"1.0\"\n  encoding = \"x\" standalone=\"yes\"?>", "utf-8"),
              "<?xml version=\"1.0\"\n  encoding = \"utf-8\" standalone=\"yes\"?>");
    for (const char* unchanged : {"<a/>", " <?xml version='1.0' encoding='x'?>", "<?xml version='1.1' encoding='x'?>",
                                  "<?xml version='1.0'?>"}) {
        EXPECT_EQ(ReplaceXmlEncoding(unchanged, "utf-8"), unchanged);
    }
}

TEST_F(StringUtilsTest, LocalEncodingNameComesFromTheLocaleCharset)
{
    const char* saved = std::getenv("LC_ALL");
    const std::string savedValue = saved ? saved : "";
    setenv("LC_ALL", "C.UTF-8", 1);
    EXPECT_EQ(GetLocalEncName(), "utf-8");
    setenv("LC_ALL", "C", 1);
    EXPECT_EQ(GetLocalEncName(), "us-ascii");
    if (saved) {
        setenv("LC_ALL", savedValue.c_str(), 1);
    } else {
        unsetenv("LC_ALL");
    }
}

// The conversions start their trace on the first call of the process, so each
// case runs in a child process of its own.
TEST(StringUtilsConversionTest, RoundTripAndTrace)
{
    char folder[] = "/tmp/tvr-conv-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string trace = std::string(folder) + "/conv.log";
    EXPECT_EXIT(
        {
            setenv("LC_ALL", "C.UTF-8", 1);
            setenv("OV3_CONV_LOG_FILE", trace.c_str(), 1);
            WideBufferList wide;
            NarrowBufferList narrow;
            const wchar_t* w = a2w("\xC3\xA1rv\xC3\xADz", wide);  // "árvíz"
            const bool wideOk = std::wstring(w) == L"\u00E1rv\u00EDz";
            const char* n = w2a(w, narrow);
            const bool roundTrip = std::string(n) == "\xC3\xA1rv\xC3\xADz";
            bool invalidRefused = false;
            try {
                a2w("\xC3", wide);
            } catch (const ErrCodeException& e) {
                invalidRefused = e.GetCode() == 1;
            }
            std::exit(wideOk && roundTrip && invalidRefused ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    std::ifstream in(trace, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.rfind("GetLocalEncName\nutf-8\na2w before\n\xC3\xA1rv\xC3\xADz\na2w after\n", 0), 0u) << text;
    EXPECT_NE(text.find("w2a after\n\xC3\xA1rv\xC3\xADz\n"), std::string::npos);
    EXPECT_NE(text.find("conv error: "), std::string::npos);
    std::remove(trace.c_str());
    rmdir(folder);
}

TEST(StringUtilsConversionTest, UnrepresentableCharactersBecomeQuestionMarks)
{
    EXPECT_EXIT(
        {
            setenv("LC_ALL", "C", 1);
            unsetenv("OV3_CONV_LOG_FILE");
            NarrowBufferList narrow;
            const char* n = w2a(L"a\u00E1b", narrow);
            std::exit(std::string(n) == "a?b" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
