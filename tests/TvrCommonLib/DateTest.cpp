#include "Date.h"

#include "CapturingLogger.h"
#include "ErrCodeException.h"
#include "TestHelpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

using TvrCommon::Date;
using TvrCommon::ErrCodeException;

namespace {

// Switches the process time zone for the lifetime of the guard.
class TimeZone {
public:
    explicit TimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            m_old = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;
    ~TimeZone()
    {
        if (m_old)
            ::setenv("TZ", m_old->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> m_old;
};

// Parses and reports the instant as UTC text, or "code N" for a failure.
std::string Parse(const std::string& text, int format)
{
    try {
        return Date(text, format).ToIso8601String();
    } catch (const ErrCodeException& e) {
        return "code " + std::to_string(e.GetCode());
    }
}

struct ParseCase {
    std::string text;
    int format;
    const char* expected;
};

const ParseCase kParseCases[] = {
    // ISO 8601
    {"2019-03-18T10:20:30Z", 0, "2019-03-18T10:20:30Z"},
    {"2019-03-18 10:20:30", 0, "2019-03-18T10:20:30Z"},
    {"2019-03-18T10:20:30+02:00", 0, "2019-03-18T08:20:30Z"},
    {"2019-03-18T10:20:30-01:30", 0, "2019-03-18T11:50:30Z"},
    {"2019-03-18T10:20:30.123456Z", 0, "2019-03-18T10:20:30Z"},
    {"2019-03-18T10:20:30.5+02:00", 0, "2019-03-18T08:20:30Z"},
    {"02019-03-18T10:20:30Z", 0, "2019-03-18T10:20:30Z"},
    {"2019-07-01T12:00:00Z", 0, "2019-07-01T12:00:00Z"},
    {"2019-10-27T01:30:00Z", 0, "2019-10-27T01:30:00Z"},
    {"1899-12-31T23:59:59Z", 0, "code 4"},
    {"2019-13-01T00:00:00Z", 0, "code 4"},
    {"2019-03-18T10:20:3", 0, "code 4"},
    {"2019-03-18T10:20:30.Z", 0, "code 4"},
    {"-2019-03-18T10:20:30Z", 0, "code 4"},
    {"2019-03-18T24:00:00Z", 0, "code 4"},
    {"2019-03-18T10:20:30+24:00", 0, "code 4"},
    {"99999999999999999999999999-03-18T10:20:30Z", 0, "code 4"},
    {"00000002019-03-18T10", 0, "code 4"},
    {"2019-03-18T10:20:30+0200", 0, "2019-03-18T08:20:30Z"},
    {"2019-03-18T10:20:30+02", 0, "2019-03-18T08:20:30Z"},
    {"2019-03-18T10:20:30-0130", 0, "2019-03-18T11:50:30Z"},
    {"2019-03-18T10:20:30.25+02", 0, "2019-03-18T08:20:30Z"},
    {"2019-03-18T10:20:30+2", 0, "code 4"},
    {"2019-03-18T10:20:30+02:", 0, "code 4"},
    {"2019-03-18T10:20:30+0260", 0, "code 4"},
    {"2020-02-29T00:00:00Z", 0, "2020-02-29T00:00:00Z"},
    {"2000-02-29T00:00:00Z", 0, "2000-02-29T00:00:00Z"},
    {"2019-02-29T00:00:00Z", 0, "code 4"},
    {"1900-02-29T00:00:00Z", 0, "code 4"},
    {"2019-02-31T00:00:00Z", 0, "code 4"},
    {"2019-04-31T00:00:00Z", 0, "code 4"},
    // Separators are part of the form, and nothing may follow the zone.
    {"2019/03/18T10:20:30Z", 0, "code 4"},
    {"2019-03-18X10:20:30Z", 0, "code 4"},
    {"2019-03-18T10.20.30Z", 0, "code 4"},
    {"2019-03-18t10:20:30z", 0, "2019-03-18T10:20:30Z"},
    {"2019-03-18T10:20:30Zjunk", 0, "code 4"},
    {"2019-03-18T10:20:30+02:00junk", 0, "code 4"},
    {"2019-03-18T10:20:30+02:00Z", 0, "code 4"},
    {"2019-03-18T10:20:30.5X", 0, "code 4"},
    {"2019-03-18T10:20:30 ", 0, "code 4"},
    // The text ends at its first zero byte.
    {std::string("2019-03-18T10:20:30\0+02:00", 26), 0, "2019-03-18T10:20:30Z"},
    // GeneralizedTime
    {"20190318102030Z", 1, "2019-03-18T10:20:30Z"},
    {"201903181020Z", 1, "2019-03-18T10:20:00Z"},
    {"20190318102030.5Z", 1, "2019-03-18T10:20:30Z"},
    {"20190318102030.123Z", 1, "2019-03-18T10:20:30Z"},
    {"20190318102030+0100", 1, "2019-03-18T09:20:30Z"},
    {"20190318102030-0130", 1, "2019-03-18T11:50:30Z"},
    {"20190701120000Z", 1, "2019-07-01T12:00:00Z"},
    {"20190318102030.1234+0100", 1, "2019-03-18T09:20:30Z"},
    {"20190318102030.123456-0130", 1, "2019-03-18T11:50:30Z"},
    {"20190231102030Z", 1, "code 4"},
    {"21000229000000Z", 1, "code 4"},
    {"20000229000000Z", 1, "2000-02-29T00:00:00Z"},
    {"18990101000000Z", 1, "code 1"},
    {"2019031810", 1, "code 4"},
    {"2019031810203", 1, "code 4"},
    {"20190318102030.Z", 1, "code 4"},
    {"2019031810203aZ", 1, "code 4"},
    {"20190318102030", 1, "2019-03-18T10:20:30Z"},
    {"20190318102030Zjunk", 1, "code 4"},
    {"20190318102030X", 1, "code 4"},
    {"20190318102030+0100Z", 1, "code 4"},
    // UTCTime
    {"490318102030Z", 2, "2049-03-18T10:20:30Z"},
    {"500318102030Z", 2, "1950-03-18T10:20:30Z"},
    {"190701120000Z", 2, "2019-07-01T12:00:00Z"},
    {"191318102030Z", 2, "code 4"},
    {"199999999999Z", 2, "code 4"},
    {"190001102030Z", 2, "code 4"},
    {"190300102030Z", 2, "code 4"},
    {"190231102030Z", 2, "code 4"},
    {"190318242030Z", 2, "code 4"},
    {"190318106030Z", 2, "code 4"},
    {"190318102060Z", 2, "code 4"},
    {"200229102030Z", 2, "2020-02-29T10:20:30Z"},
    {"1903181020Z", 2, "code 4"},
    {"19031810203aZ", 2, "code 4"},
    {"190318102030X", 2, "code 4"},
    {"190318102030+", 2, "code 4"},
    {std::string("190318102030\0", 13), 2, "code 4"},
    // PDF
    {"D:2019", 3, "2019-01-01T00:00:00Z"},
    {"(D:201903)", 3, "2019-03-01T00:00:00Z"},
    {"2019031810", 3, "2019-03-18T10:00:00Z"},
    {"D:20190318102030Z", 3, "2019-03-18T10:20:30Z"},
    {"D:20190318102030+01'00'", 3, "2019-03-18T09:20:30Z"},
    {"D:20190318102030+01'00", 3, "2019-03-18T09:20:30Z"},
    {"D:20190318102030+01", 3, "2019-03-18T09:20:30Z"},
    {"(D:20190318102030-05'30')", 3, "2019-03-18T15:50:30Z"},
    {"D:20190701120000", 3, "2019-07-01T12:00:00Z"},
    {"D:20190231", 3, "code 4"},
    {"D:20200229", 3, "2020-02-29T00:00:00Z"},
    {"D:20190318102030Z5", 3, "code 4"},
    {"D:201900", 3, "code 4"},
    {"D:201", 3, "code 4"},
    {"D:20190318102030X", 3, "code 4"},
    {"D:2019031810203", 3, "code 4"},
    // Unknown format
    {"20190318102030Z", 4, "code 4"},
};

class DateParseInZoneTest : public ::testing::TestWithParam<const char*> {};

// Every parse result is an instant, so it must not depend on the process's time zone.
TEST_P(DateParseInZoneTest, ParseTableGivesTheSameInstantInEveryZone)
{
    const TimeZone zone(GetParam());
    for (const ParseCase& c : kParseCases) {
        EXPECT_EQ(Parse(c.text, c.format), c.expected) << "text " << c.text << " format " << c.format;
    }
    EXPECT_EQ(Date("2019-03-18T10:20:30Z", 0).GetValue(Date::Seconds), 1552904430);
    EXPECT_EQ(Date(1552904430, Date::Seconds).ToGeneralizedTimeString(), "20190318102030Z");
}

INSTANTIATE_TEST_SUITE_P(Zones, DateParseInZoneTest,
                         ::testing::Values("UTC", "Europe/Budapest", "Europe/Moscow", "Asia/Kathmandu"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& ch : name)
                                 if (ch == '/')
                                     ch = '_';
                             return name;
                         });

TEST(DateTest, LocalComponentsFollowTheZoneAtTheDate)
{
    struct Case {
        const char* zone;
        const char* text;
        int year, month, day, hour, minute;
    } cases[] = {
        {"UTC", "20190701120000Z", 2019, 7, 1, 12, 0},
        {"Europe/Budapest", "20190701120000Z", 2019, 7, 1, 14, 0},   // summer time
        {"Europe/Budapest", "20190115120000Z", 2019, 1, 15, 13, 0},  // winter time
        {"Asia/Kathmandu", "20191231200000Z", 2020, 1, 1, 1, 45},
    };
    for (const Case& c : cases) {
        const TimeZone zone(c.zone);
        const Date d(c.text, Date::GeneralizedTime);
        EXPECT_EQ(d.GetYear(), c.year) << c.zone;
        EXPECT_EQ(d.GetMonth(), c.month) << c.zone;
        EXPECT_EQ(d.GetDay(), c.day) << c.zone;
        EXPECT_EQ(d.GetHour(), c.hour) << c.zone;
        EXPECT_EQ(d.GetMinute(), c.minute) << c.zone;
        EXPECT_EQ(d.GetSecond(), 0) << c.zone;
        char expected[32];
        std::snprintf(expected, sizeof expected, "%04d-%02d-%02d %02d:%02d", c.year, c.month, c.day,
                      c.hour, c.minute);
        EXPECT_EQ(d.Format("%Y-%m-%d %H:%M"), expected) << c.zone;
    }
}

TEST(DateTest, UtcTimeLengthErrorsLogTheRule)
{
    const std::string rule =
        "UTCTime values MUST be expressed in Coordinated Universal Time (formerly known as Greenwich "
        "Mean Time(GMT) and Zulu clock time) and MUST include seconds (i.e., times are YYMMDDHHMMSSZ), "
        "even where the number of seconds is zero.\n";
    const std::string exceptionLine = "Error occured; Bad argument(s)\n";
    struct Case {
        const char* text;
        std::string log;
    } cases[] = {
        {"190318102030", rule + "Maybe the 'Z' character is missing?\n" + exceptionLine},
        {"190318102030ZZ", rule + exceptionLine},
    };
    for (const Case& c : cases) {
        CapturingLogger logger;
        TvrCommon::SetLogger(&logger);
        EXPECT_EQ(Parse(c.text, Date::UtcTime), "code 4");
        TvrCommon::SetLogger(nullptr);
        EXPECT_EQ(logger.error.str(), c.log) << c.text;
    }
}

TEST(DateTest, NumbersUnitsAndValidity)
{
    EXPECT_EQ(Date(1500000999u, Date::Millis).GetValue(Date::Seconds), 1500000);
    EXPECT_EQ(Date(2999999u, Date::Micros).GetValue(Date::Seconds), 2);
    const Date two(2u, Date::Seconds);
    EXPECT_EQ(two.GetValue(Date::Millis), 2000);
    EXPECT_EQ(two.GetMicros(), 2000000);
    EXPECT_EQ(two.GetValue(Date::Micros), 2000000);
    // Second counts must fit the signed range; they never wrap to a date before 1970.
    EXPECT_EQ(CodeOf([] { Date(UINT64_MAX, Date::Seconds); }), 4);
    EXPECT_EQ(CodeOf([] { Date(static_cast<uint64_t>(INT64_MAX) + 1, Date::Seconds); }), 4);
    // ... and in microseconds, which every date can be read back in.
    constexpr uint64_t kLastSecond = static_cast<uint64_t>(INT64_MAX) / 1000000u;
    EXPECT_EQ(CodeOf([] { Date(static_cast<uint64_t>(INT64_MAX), Date::Seconds); }), 4);
    EXPECT_EQ(CodeOf([] { Date(kLastSecond + 1, Date::Seconds); }), 4);
    EXPECT_EQ(CodeOf([] { Date(UINT64_MAX, Date::Micros); }), 4);
    EXPECT_EQ(CodeOf([] { Date(UINT64_MAX, Date::Millis); }), 4);
    const Date last(kLastSecond, Date::Seconds);
    EXPECT_EQ(last.GetMicros(), static_cast<int64_t>(kLastSecond * 1000000u));
    EXPECT_GT(last.GetMicros(), 0);
    EXPECT_EQ(Date(static_cast<uint64_t>(INT64_MAX), Date::Micros).GetMicros(),
              static_cast<int64_t>(kLastSecond * 1000000u));
    for (int unit : {-1, 3}) {
        EXPECT_EQ(CodeOf([&] { Date(1u, unit); }), 4) << "unit " << unit;
        EXPECT_EQ(CodeOf([&] { two.GetValue(unit); }), 4) << "unit " << unit;
    }

    const Date invalid;
    EXPECT_FALSE(invalid.IsValid());
    EXPECT_TRUE(Date(0u, Date::Seconds).IsValid());
    EXPECT_TRUE(invalid == Date(0u, Date::Seconds));

    const Date before = Date::EpochMinusOne();
    EXPECT_TRUE(before.IsValid());
    EXPECT_EQ(before.GetValue(Date::Seconds), -1);
    EXPECT_EQ(before.ToIso8601String(), "1969-12-31T23:59:59Z");
    EXPECT_TRUE(before < invalid);
    EXPECT_TRUE(two >= two);
    EXPECT_TRUE(two > before);

    Date copy(two);
    copy = before;
    EXPECT_EQ(copy, before);
    EXPECT_EQ(two.GetValue(Date::Seconds), 2);
    EXPECT_TRUE(Date::Now().IsValid());
}

TEST(DateTest, FormattingThatDoesNotFitGivesEmptyText)
{
    const Date d("20190318102030Z", Date::GeneralizedTime);
    EXPECT_EQ(d.FormatUTC("%Y/%m/%d"), "2019/03/18");
    EXPECT_EQ(d.FormatUTC(std::string(5000, 'x')), "");
}

} // namespace
