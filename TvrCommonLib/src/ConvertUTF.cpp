#include "ConvertUTF.h"

#include <cstdint>

namespace {

constexpr uint32_t kReplacement = 0xFFFD;
constexpr uint32_t kMaxCodePoint = 0x10FFFF;

int TrailingBytes(unsigned char lead)
{
    if (lead < 0xC0) return 0;
    if (lead < 0xE0) return 1;
    if (lead < 0xF0) return 2;
    if (lead < 0xF8) return 3;
    if (lead < 0xFC) return 4;
    return 5;
}

// Rejects overlong forms, encoded surrogates, code points above U+10FFFF and bad trail bytes.
bool IsLegalUtf8(const unsigned char* s, int length)
{
    if (length < 1 || length > 4)
        return false;
    const unsigned char lead = s[0];
    if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4)
        return false;
    for (int i = 1; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF)
            return false;
    }
    if (length >= 2) {
        const unsigned char first = s[1];
        if ((lead == 0xE0 && first < 0xA0) || (lead == 0xED && first > 0x9F) ||
            (lead == 0xF0 && first < 0x90) || (lead == 0xF4 && first > 0x8F))
            return false;
    }
    return true;
}

bool IsHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

} // namespace

ConversionResult ConvertUTF8toUTF16(const unsigned char** sourceStart, const unsigned char* sourceEnd,
                                    char16_t** targetStart, char16_t* targetEnd, ConversionFlags flags)
{
    static const uint32_t offsets[6] = {0x00000000UL, 0x00003080UL, 0x000E2080UL,
                                        0x03C82080UL, 0xFA082080UL, 0x82082080UL};
    ConversionResult result = conversionOK;
    const unsigned char* source = *sourceStart;
    char16_t* target = *targetStart;
    while (source < sourceEnd) {
        const int extra = TrailingBytes(*source);
        if (extra >= sourceEnd - source) {
            result = sourceExhausted;
            break;
        }
        if (!IsLegalUtf8(source, extra + 1)) {
            result = sourceIllegal;
            break;
        }
        const unsigned char* start = source;
        uint32_t ch = 0;
        for (int i = 0; i <= extra; ++i) {
            ch += *source++;
            if (i < extra)
                ch <<= 6;
        }
        ch -= offsets[extra];

        if (target >= targetEnd) {
            source = start;
            result = targetExhausted;
            break;
        }
        if (ch <= 0xFFFF) {
            if (ch >= 0xD800 && ch <= 0xDFFF) {
                if (flags == strictConversion) {
                    source = start;
                    result = sourceIllegal;
                    break;
                }
                *target++ = static_cast<char16_t>(kReplacement);
            } else {
                *target++ = static_cast<char16_t>(ch);
            }
        } else if (ch > kMaxCodePoint) {
            if (flags == strictConversion) {
                source = start;
                result = sourceIllegal;
                break;
            }
            *target++ = static_cast<char16_t>(kReplacement);
        } else {
            if (target + 1 >= targetEnd) {
                source = start;
                result = targetExhausted;
                break;
            }
            ch -= 0x10000;
            *target++ = static_cast<char16_t>(0xD800 + (ch >> 10));
            *target++ = static_cast<char16_t>(0xDC00 + (ch & 0x3FF));
        }
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

ConversionResult ConvertUTF16toUTF8(const char16_t** sourceStart, const char16_t* sourceEnd,
                                    unsigned char** targetStart, unsigned char* targetEnd,
                                    ConversionFlags flags)
{
    static const unsigned char firstByteMark[5] = {0x00, 0x00, 0xC0, 0xE0, 0xF0};
    ConversionResult result = conversionOK;
    const char16_t* source = *sourceStart;
    unsigned char* target = *targetStart;
    while (source < sourceEnd) {
        const char16_t* start = source;
        uint32_t ch = *source++;
        if (IsHighSurrogate(ch)) {
            if (source >= sourceEnd) {
                source = start;
                result = sourceExhausted;
                break;
            }
            const uint32_t low = *source;
            if (IsLowSurrogate(low)) {
                ch = ((ch - 0xD800) << 10) + (low - 0xDC00) + 0x10000;
                ++source;
            } else if (flags == strictConversion) {
                source = start;
                result = sourceIllegal;
                break;
            }
        } else if (IsLowSurrogate(ch) && flags == strictConversion) {
            source = start;
            result = sourceIllegal;
            break;
        }

        int length;
        if (ch < 0x80) {
            length = 1;
        } else if (ch < 0x800) {
            length = 2;
        } else if (ch < 0x10000) {
            length = 3;
        } else if (ch <= kMaxCodePoint) {
            length = 4;
        } else {
            length = 3;
            ch = kReplacement;
        }
        if (targetEnd - target < length) {
            source = start;
            result = targetExhausted;
            break;
        }
        for (int i = length - 1; i > 0; --i) {
            target[i] = static_cast<unsigned char>((ch | 0x80) & 0xBF);
            ch >>= 6;
        }
        target[0] = static_cast<unsigned char>(ch | firstByteMark[length]);
        target += length;
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}
