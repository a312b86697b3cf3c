#pragma once

class UtfConverterImpl;

// Strict UTF-8 <-> UTF-16 conversion for code that needs a plain character pointer for a
// call. Keep the converter on the stack: every returned copy stays valid until it is
// destroyed. Malformed text is refused, never repaired.
class UtfConverter {
public:
    // Thrown for a null argument, an allocation failure or malformed text.
    class ConversionErrorException {};

    UtfConverter();
    UtfConverter(const UtfConverter&) = delete;
    UtfConverter& operator=(const UtfConverter&) = delete;
    ~UtfConverter();

    char16_t* Utf8ToWide(const char* text);
    char* WideToUtf8(const char16_t* text);

private:
    UtfConverterImpl* m_impl;
};
