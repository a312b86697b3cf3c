#include "Date.h"

#include "DateImpl.h"
#include "ErrCodeException.h"

#include <cstring>

namespace TvrCommon {

namespace {

struct tm Breakdown(int64_t seconds, bool local)
{
    const time_t t = static_cast<time_t>(seconds);
    struct tm out;
    std::memset(&out, 0, sizeof out);
    if ((local ? localtime_r(&t, &out) : gmtime_r(&t, &out)) == nullptr)
        throw ErrCodeException(1);
    return out;
}

std::string Strftime(const std::string& pattern, const struct tm& fields)
{
    char buffer[4096];
    std::memset(buffer, 0, sizeof buffer);
    // A result that does not fit (or is empty) gives the empty text.
    const size_t length = std::strftime(buffer, sizeof buffer, pattern.c_str(), &fields);
    return std::string(buffer, length);
}

// Wrapping multiplication: no undefined behaviour for second counts far from the present.
int64_t Scale(int64_t seconds, uint64_t factor)
{
    return static_cast<int64_t>(static_cast<uint64_t>(seconds) * factor);
}

} // namespace

Date::Date() : m_impl(new DateImpl()) {}

Date::Date(const Date& other) : m_impl(new DateImpl(*other.m_impl)) {}

Date& Date::operator=(const Date& other)
{
    if (this != &other)
        *m_impl = *other.m_impl;
    return *this;
}

Date::Date(uint64_t value, int unit) : m_impl(nullptr)
{
    uint64_t seconds = 0;
    switch (unit) {
    case Micros: seconds = value / 1000000u; break;
    case Millis: seconds = value / 1000u; break;
    case Seconds: seconds = value; break;
    default: throw ErrCodeException(4);
    }
    // Every date must read back in microseconds: a count beyond that would wrap there (and
    // beyond the signed range, to a date before 1970).
    if (seconds > static_cast<uint64_t>(INT64_MAX) / 1000000u)
        throw ErrCodeException(4);
    m_impl = new DateImpl(static_cast<int64_t>(seconds), true);
}

Date::Date(const std::string& text, int format) : m_impl(nullptr)
{
    int64_t seconds = 0;
    switch (format) {
    case Iso8601: seconds = ParseIso8601(text); break;
    case GeneralizedTime: seconds = ParseGeneralizedTime(text); break;
    case UtcTime: seconds = ParseUtcTime(text); break;
    case PdfDate: seconds = ParsePdfDate(text); break;
    default: throw ErrCodeException(4);
    }
    m_impl = new DateImpl(seconds, true);
}

Date::~Date()
{
    delete m_impl;
}

Date Date::Now()
{
    Date now;
    *now.m_impl = DateImpl(static_cast<int64_t>(std::time(nullptr)), true);
    return now;
}

Date Date::EpochMinusOne()
{
    Date date;
    *date.m_impl = DateImpl(-1, true);
    return date;
}

struct tm Date::NowLocalTm()
{
    return Breakdown(static_cast<int64_t>(std::time(nullptr)), true);
}

struct tm* Date::LocalTime(const int64_t* seconds, struct tm* out)
{
    if (seconds == nullptr || out == nullptr)
        return nullptr;
    const time_t t = static_cast<time_t>(*seconds);
    return localtime_r(&t, out);
}

bool Date::IsValid() const
{
    return m_impl->valid;
}

int64_t Date::GetMicros() const
{
    return Scale(m_impl->seconds, 1000000u);
}

int64_t Date::GetValue(int unit) const
{
    switch (unit) {
    case Micros: return Scale(m_impl->seconds, 1000000u);
    case Millis: return Scale(m_impl->seconds, 1000u);
    case Seconds: return m_impl->seconds;
    default: throw ErrCodeException(4);
    }
}

int Date::GetYear() const
{
    return Breakdown(m_impl->seconds, true).tm_year + 1900;
}

int Date::GetMonth() const
{
    return Breakdown(m_impl->seconds, true).tm_mon + 1;
}

int16_t Date::GetDay() const
{
    return static_cast<int16_t>(Breakdown(m_impl->seconds, true).tm_mday);
}

int16_t Date::GetHour() const
{
    return static_cast<int16_t>(Breakdown(m_impl->seconds, true).tm_hour);
}

int16_t Date::GetMinute() const
{
    return static_cast<int16_t>(Breakdown(m_impl->seconds, true).tm_min);
}

int16_t Date::GetSecond() const
{
    return static_cast<int16_t>(Breakdown(m_impl->seconds, true).tm_sec);
}

bool Date::operator==(const Date& other) const { return m_impl->seconds == other.m_impl->seconds; }
bool Date::operator!=(const Date& other) const { return m_impl->seconds != other.m_impl->seconds; }
bool Date::operator<(const Date& other) const { return m_impl->seconds < other.m_impl->seconds; }
bool Date::operator<=(const Date& other) const { return m_impl->seconds <= other.m_impl->seconds; }
bool Date::operator>(const Date& other) const { return m_impl->seconds > other.m_impl->seconds; }
bool Date::operator>=(const Date& other) const { return m_impl->seconds >= other.m_impl->seconds; }

std::string Date::Format(const std::string& pattern) const
{
    return Strftime(pattern, Breakdown(m_impl->seconds, true));
}

std::string Date::FormatUTC(const std::string& pattern) const
{
    return Strftime(pattern, Breakdown(m_impl->seconds, false));
}

std::string Date::ToGeneralizedTimeString() const
{
    return FormatUTC("%Y%m%d%H%M%SZ");
}

std::string Date::ToIso8601String() const
{
    return FormatUTC("%Y-%m-%dT%H:%M:%SZ");
}

} // namespace TvrCommon
