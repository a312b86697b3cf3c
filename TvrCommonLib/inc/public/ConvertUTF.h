#pragma once

// Strict UTF-8 <-> UTF-16 routines in the manner of the Unicode consortium's reference
// converter. Each advances both positions over what it converted.

enum ConversionResult {
    conversionOK = 0,    // everything converted
    sourceExhausted = 1, // the input ends inside a character
    targetExhausted = 2, // no room for the next character
    sourceIllegal = 3    // malformed input
};

enum ConversionFlags { strictConversion = 0, lenientConversion = 1 };

ConversionResult ConvertUTF8toUTF16(const unsigned char** sourceStart, const unsigned char* sourceEnd,
                                    char16_t** targetStart, char16_t* targetEnd, ConversionFlags flags);

ConversionResult ConvertUTF16toUTF8(const char16_t** sourceStart, const char16_t* sourceEnd,
                                    unsigned char** targetStart, unsigned char* targetEnd,
                                    ConversionFlags flags);
