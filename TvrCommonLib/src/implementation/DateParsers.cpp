#include "DateImpl.h"

#include "ErrCodeException.h"
#include "Logger.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <ostream>

namespace TvrCommon {

namespace {

// Read-only view that yields a zero byte past its end, so no parser reads outside the text.
class Text {
public:
    Text(const char* data, size_t size) : m_data(data), m_size(size) {}
    char At(size_t i) const { return i < m_size ? m_data[i] : '\0'; }
    size_t Size() const { return m_size; }

private:
    const char* m_data;
    size_t m_size;
};

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Two decimal digits at `pos` within [low, high]; otherwise the text is malformed (code 4).
int TwoDigits(const Text& text, size_t pos, int low, int high, int errorCode = 4)
{
    const char a = text.At(pos);
    const char b = text.At(pos + 1);
    if (!IsDigit(a) || !IsDigit(b))
        throw ErrCodeException(errorCode);
    const int value = (a - '0') * 10 + (b - '0');
    if (value < low || value > high)
        throw ErrCodeException(errorCode);
    return value;
}

struct Fields {
    long long year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int offsetHours = 0;   // signed, the text's zone offset
    int offsetMinutes = 0; // same sign as the hours
};

bool IsLeapYear(long long year)
{
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(long long year, int month)
{
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The fields are UTC wall-clock values shifted by the text's offset. timegm keeps the result
// independent of the process's time zone. A day the month does not have is refused here, as
// the conversion would silently roll it into the next month.
int64_t ToSeconds(const Fields& f)
{
    if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > DaysInMonth(f.year, f.month))
        throw ErrCodeException(4);
    struct tm t;
    std::memset(&t, 0, sizeof t);
    t.tm_year = static_cast<int>(f.year - 1900);
    t.tm_mon = f.month - 1;
    t.tm_mday = f.day;
    t.tm_hour = f.hour;
    t.tm_min = f.minute;
    t.tm_sec = f.second;
    t.tm_isdst = 0;
    errno = 0;
    const time_t seconds = timegm(&t);
    if (seconds == static_cast<time_t>(-1) && errno == EOVERFLOW)
        throw ErrCodeException(1);
    return static_cast<int64_t>(seconds) -
           (static_cast<int64_t>(f.offsetHours) * 60 + f.offsetMinutes) * 60;
}

} // namespace

int64_t ParseIso8601(const std::string& input)
{
    const size_t length = std::strlen(input.c_str());
    if (length < 19 || input[0] == '-')
        throw ErrCodeException(4);

    size_t yearDigits = 0;
    long long year = 0;
    while (yearDigits < length && IsDigit(input[yearDigits])) {
        year = year * 10 + (input[yearDigits] - '0');
        // Long digit runs must not overflow; such years cannot be represented anyway.
        if (year > INT_MAX)
            throw ErrCodeException(4);
        ++yearDigits;
    }
    if (yearDigits < 4 || year < 1900)
        throw ErrCodeException(4);

    // Extra year digits shift every later position; work on the shifted text.
    std::string shifted(input.c_str() + (yearDigits - 4), length - (yearDigits - 4));
    Fields f;
    f.year = year;
    {
        const Text t(shifted.data(), shifted.size());
        // The separators are checked too: "2019/03/18" or "2019-03-18X10" is not a date of
        // this form, however its digits read.
        const char dateTime = t.At(10);
        if (t.At(4) != '-' || t.At(7) != '-' || (dateTime != 'T' && dateTime != 't' && dateTime != ' ') ||
            t.At(13) != ':' || t.At(16) != ':')
            throw ErrCodeException(4);
        f.month = TwoDigits(t, 5, 1, 12);
        f.day = TwoDigits(t, 8, 1, 31);
        f.hour = TwoDigits(t, 11, 0, 23);
        f.minute = TwoDigits(t, 14, 0, 59);
        f.second = TwoDigits(t, 17, 0, 59);
        if (shifted.size() > 19 && shifted[19] == '.') {
            if (!IsDigit(t.At(20)))
                throw ErrCodeException(4);
            size_t end = 20;
            while (IsDigit(t.At(end)))
                ++end;
            shifted.erase(19, end - 19); // the zone designator moves back to position 19
        }
    }
    const Text t(shifted.data(), shifted.size());
    // Offsets come as +hh:mm, +hhmm or +hh; a sign that starts none of them is malformed.
    // Nothing may follow the zone: text after it is not part of a date.
    size_t end = 19;
    if (t.At(19) == '+' || t.At(19) == '-') {
        const int sign = t.At(19) == '-' ? -1 : 1;
        f.offsetHours = sign * TwoDigits(t, 20, 0, 23);
        size_t minutes = 22;
        if (t.At(minutes) == ':')
            ++minutes;
        end = minutes;
        if (minutes == 23 || IsDigit(t.At(minutes))) {
            f.offsetMinutes = sign * TwoDigits(t, minutes, 0, 59);
            end = minutes + 2;
        }
    } else if (t.At(19) == 'Z' || t.At(19) == 'z') {
        end = 20;
    }
    if (end != t.Size())
        throw ErrCodeException(4);
    return ToSeconds(f);
}

int64_t ParseGeneralizedTime(const std::string& input)
{
    if (input.size() < 12)
        throw ErrCodeException(4);
    const Text t(input.data(), input.size());
    const int century = TwoDigits(t, 0, 0, 99);
    if (century < 19)
        throw ErrCodeException(1);
    Fields f;
    f.year = 1900 + (century - 19) * 100 + TwoDigits(t, 2, 0, 99);
    f.month = TwoDigits(t, 4, 1, 12);
    f.day = TwoDigits(t, 6, 1, 31);
    f.hour = TwoDigits(t, 8, 0, 23);
    f.minute = TwoDigits(t, 10, 0, 59);
    size_t pos = 12;
    if (IsDigit(t.At(pos))) {
        f.second = TwoDigits(t, pos, 0, 59);
        pos += 2;
    }
    if (t.At(pos) == '.') {
        if (!IsDigit(t.At(pos + 1)))
            throw ErrCodeException(4);
        ++pos;
        // Every fraction digit is skipped, however many there are, so none is taken for the zone.
        while (IsDigit(t.At(pos)))
            ++pos;
    }
    const char zone = t.At(pos);
    if (zone == '+' || zone == '-') {
        const int sign = zone == '-' ? -1 : 1;
        f.offsetHours = sign * TwoDigits(t, pos + 1, 0, 23);
        f.offsetMinutes = sign * TwoDigits(t, pos + 3, 0, 59);
        pos += 5;
    } else if (zone == 'Z') {
        ++pos;
    }
    // The zone, when there is one, ends the text.
    if (pos != t.Size())
        throw ErrCodeException(4);
    return ToSeconds(f);
}

int64_t ParseUtcTime(const std::string& input)
{
    if (input.size() != 13) {
        std::ostream& log = GetLogger()->Error("src/Date", __LINE__);
        log << "UTCTime values MUST be expressed in Coordinated Universal Time (formerly known as "
               "Greenwich Mean Time(GMT) and Zulu clock time) and MUST include seconds (i.e., times "
               "are YYMMDDHHMMSSZ), even where the number of seconds is zero."
            << std::endl;
        if (input.size() == 12)
            GetLogger()->Error("src/Date", __LINE__) << "Maybe the 'Z' character is missing?" << std::endl;
        throw ErrCodeException(4);
    }
    // Non-digits and out-of-range fields are refused: month 13 is not January of the next year.
    // The time is UTC, so the last character is the 'Z' that says so.
    const Text t(input.data(), input.size());
    Fields f;
    if (t.At(12) != 'Z')
        throw ErrCodeException(4);
    const int yy = TwoDigits(t, 0, 0, 99);
    f.year = yy < 50 ? 2000 + yy : 1900 + yy;
    f.month = TwoDigits(t, 2, 1, 12);
    f.day = TwoDigits(t, 4, 1, 31);
    f.hour = TwoDigits(t, 6, 0, 23);
    f.minute = TwoDigits(t, 8, 0, 59);
    f.second = TwoDigits(t, 10, 0, 59);
    return ToSeconds(f);
}

int64_t ParsePdfDate(const std::string& input)
{
    // At most 32 bytes are read, up to the first zero byte.
    const size_t limit = input.size() < 32 ? input.size() : 32;
    const void* zero = std::memchr(input.data(), 0, limit);
    const Text t(input.data(), zero ? static_cast<size_t>(static_cast<const char*>(zero) - input.data()) : limit);
    size_t pos = 0;
    if (t.At(pos) == '(')
        ++pos;
    if (t.At(pos) == 'D' && t.At(pos + 1) == ':')
        pos += 2;

    Fields f;
    f.year = 0;
    for (int i = 0; i < 4; ++i, ++pos) {
        if (!IsDigit(t.At(pos)))
            throw ErrCodeException(4);
        f.year = f.year * 10 + (t.At(pos) - '0');
    }
    auto atEnd = [&](size_t i) { return t.At(i) == ')' || t.At(i) == '\0'; };

    struct Field {
        int* value;
        int low;
        int high;
    };
    const Field fields[] = {{&f.month, 1, 12}, {&f.day, 1, 31}, {&f.hour, 0, 23},
                            {&f.minute, 0, 59}, {&f.second, 0, 59}};
    for (const Field& field : fields) {
        if (atEnd(pos))
            return ToSeconds(f);
        *field.value = TwoDigits(t, pos, field.low, field.high);
        pos += 2;
    }

    const char zone = t.At(pos);
    if (atEnd(pos))
        return ToSeconds(f);
    if (zone != '+' && zone != '-' && zone != 'Z')
        throw ErrCodeException(4);
    if (atEnd(pos + 1))
        return ToSeconds(f);
    if (zone == 'Z')
        throw ErrCodeException(4);
    const int sign = zone == '-' ? -1 : 1;
    f.offsetHours = sign * TwoDigits(t, pos + 1, 0, 23);
    pos += 3;
    if (t.At(pos) == '\'')
        ++pos;
    if (!atEnd(pos))
        f.offsetMinutes = sign * TwoDigits(t, pos, 0, 59);
    return ToSeconds(f);
}

} // namespace TvrCommon
