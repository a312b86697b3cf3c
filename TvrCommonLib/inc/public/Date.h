#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace TvrCommon {

class DateImpl;

// An instant: signed whole seconds since 1970-01-01T00:00:00 UTC, with a validity flag
// (only the default constructor makes an invalid date).
class Date {
public:
    // Unit selectors of the number constructor and GetValue.
    enum Unit { Micros = 0, Millis = 1, Seconds = 2 };
    // Format selectors of the text constructor.
    enum TextFormat { Iso8601 = 0, GeneralizedTime = 1, UtcTime = 2, PdfDate = 3 };

    Date();
    Date(const Date& other);
    Date& operator=(const Date& other);
    // An unknown unit, or a second count above INT64_MAX, throws ErrCodeException code 4.
    Date(uint64_t value, int unit);
    // Malformed text, a field out of its range (a day the month does not have included) or
    // an unknown format throws ErrCodeException code 4 (code 1 for a GeneralizedTime century
    // below 19).
    Date(const std::string& text, int format);
    virtual ~Date();

    static Date Now();
    static Date EpochMinusOne();
    static struct tm NowLocalTm();
    // Local-time breakdown into `out`; null when the conversion fails.
    static struct tm* LocalTime(const int64_t* seconds, struct tm* out);

    bool IsValid() const;
    int64_t GetMicros() const;
    int64_t GetValue(int unit) const;

    // Components in the local time zone; a failed conversion throws code 1.
    int GetYear() const;
    int GetMonth() const;
    int16_t GetDay() const;
    int16_t GetHour() const;
    int16_t GetMinute() const;
    int16_t GetSecond() const;

    bool operator==(const Date& other) const;
    bool operator!=(const Date& other) const;
    bool operator<(const Date& other) const;
    bool operator<=(const Date& other) const;
    bool operator>(const Date& other) const;
    bool operator>=(const Date& other) const;

    // strftime on the local-time / UTC breakdown.
    std::string Format(const std::string& pattern) const;
    std::string FormatUTC(const std::string& pattern) const;
    std::string ToGeneralizedTimeString() const;
    std::string ToIso8601String() const;

private:
    DateImpl* m_impl;
};

} // namespace TvrCommon
