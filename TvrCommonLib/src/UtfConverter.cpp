#include "UtfConverter.h"

#include "ConvertUTF.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

class UtfConverterImpl {
public:
    UtfConverterImpl() = default;
    UtfConverterImpl(const UtfConverterImpl&) = delete;
    UtfConverterImpl& operator=(const UtfConverterImpl&) = delete;
    ~UtfConverterImpl()
    {
        FreeBuffers(utf8Buffers);
        FreeBuffers(wideBuffers);
    }

    template <typename T>
    static void FreeBuffers(std::vector<T*>& buffers)
    {
        for (T* buffer : buffers)
            std::free(buffer);
        std::vector<T*>().swap(buffers);
    }

    std::vector<char*> utf8Buffers;
    std::vector<char16_t*> wideBuffers;
};

UtfConverter::UtfConverter() : m_impl(new UtfConverterImpl()) {}

UtfConverter::~UtfConverter()
{
    delete m_impl;
}

char16_t* UtfConverter::Utf8ToWide(const char* text)
{
    if (text == nullptr)
        throw ConversionErrorException();
    const size_t length = std::strlen(text);
    try {
        m_impl->wideBuffers.reserve(m_impl->wideBuffers.size() + 1);
    } catch (...) {
        throw ConversionErrorException();
    }
    // n UTF-8 bytes never need more than n UTF-16 units.
    auto* buffer = static_cast<char16_t*>(std::malloc((length + 1) * sizeof(char16_t)));
    if (buffer == nullptr)
        throw ConversionErrorException();
    const auto* source = reinterpret_cast<const unsigned char*>(text);
    char16_t* target = buffer;
    if (ConvertUTF8toUTF16(&source, source + length, &target, buffer + length, strictConversion) !=
        conversionOK) {
        std::free(buffer);
        throw ConversionErrorException();
    }
    *target = 0;
    m_impl->wideBuffers.push_back(buffer);
    return buffer;
}

char* UtfConverter::WideToUtf8(const char16_t* text)
{
    if (text == nullptr)
        throw ConversionErrorException();
    const size_t length = std::char_traits<char16_t>::length(text);
    try {
        m_impl->utf8Buffers.reserve(m_impl->utf8Buffers.size() + 1);
    } catch (...) {
        throw ConversionErrorException();
    }
    auto* buffer = static_cast<char*>(std::malloc(4 * length + 1));
    if (buffer == nullptr)
        throw ConversionErrorException();
    const char16_t* source = text;
    auto* start = reinterpret_cast<unsigned char*>(buffer);
    unsigned char* target = start;
    if (ConvertUTF16toUTF8(&source, source + length, &target, start + 4 * length + 1, strictConversion) !=
        conversionOK) {
        std::free(buffer);
        throw ConversionErrorException();
    }
    *target = 0;
    m_impl->utf8Buffers.push_back(buffer);
    return buffer;
}
