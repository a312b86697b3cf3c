#pragma once

#include <cstdint>
#include <string>

namespace TvrCommon {

class DateImpl {
public:
    DateImpl() = default;
    DateImpl(int64_t seconds, bool valid) : seconds(seconds), valid(valid) {}
    DateImpl(const DateImpl&) = default;
    DateImpl& operator=(const DateImpl&) = default;
    virtual ~DateImpl() = default;

    int64_t seconds = 0;
    bool valid = false;
};

// Text parsers; each returns seconds since 1970 UTC or throws ErrCodeException.
int64_t ParseIso8601(const std::string& text);
int64_t ParseGeneralizedTime(const std::string& text);
int64_t ParseUtcTime(const std::string& text);
int64_t ParsePdfDate(const std::string& text);

} // namespace TvrCommon
