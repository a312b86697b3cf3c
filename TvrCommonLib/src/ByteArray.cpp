#include "ByteArray.h"

#include "ErrCodeException.h"
#include "Logger.h"

#include <exception>
#include <ostream>
#include <stdexcept>

namespace TvrCommon {

namespace {

// Copying constructors report any standard failure as "Out of memory".
template <typename Make>
std::string* MakeBuffer(Make make)
{
    try {
        return make();
    } catch (const std::exception&) {
        throw ErrCodeException(3);
    }
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

const unsigned char* Bytes(const std::string& s)
{
    return reinterpret_cast<const unsigned char*>(s.data());
}

} // namespace

ByteArray::ByteArray() : m_bytes(MakeBuffer([] { return new std::string(); })) {}

ByteArray::ByteArray(const unsigned char* data, size_t length)
    : m_bytes(MakeBuffer([&] {
          return length == 0 ? new std::string()
                             : new std::string(reinterpret_cast<const char*>(data), length);
      }))
{
}

ByteArray::ByteArray(size_t count, unsigned char fill)
    : m_bytes(MakeBuffer([&] { return new std::string(count, static_cast<char>(fill)); }))
{
}

ByteArray::ByteArray(const std::string& bytes)
    : m_bytes(MakeBuffer([&] { return new std::string(bytes); }))
{
}

ByteArray::ByteArray(const ByteArray& other)
    : m_bytes(MakeBuffer([&] { return new std::string(*other.m_bytes); }))
{
}

ByteArray& ByteArray::operator=(const ByteArray& other)
{
    if (this != &other)
        *m_bytes = *other.m_bytes;
    return *this;
}

ByteArray::~ByteArray()
{
    delete m_bytes;
}

const unsigned char* ByteArray::GetData() const
{
    return Bytes(*m_bytes);
}

size_t ByteArray::GetSize() const
{
    return m_bytes->size();
}

void ByteArray::Append(const unsigned char* data, size_t length)
{
    if (length != 0)
        m_bytes->append(reinterpret_cast<const char*>(data), length);
}

void ByteArray::Insert(size_t position, const unsigned char* data, size_t length)
{
    if (position > m_bytes->size())
        throw std::out_of_range("invalid string position");
    if (length != 0)
        m_bytes->insert(position, reinterpret_cast<const char*>(data), length);
}

void ByteArray::Assign(const unsigned char* data, size_t length)
{
    if (length == 0)
        m_bytes->clear();
    else
        m_bytes->assign(reinterpret_cast<const char*>(data), length);
}

void ByteArray::Assign(size_t count, unsigned char fill)
{
    m_bytes->assign(count, static_cast<char>(fill));
}

void ByteArray::Clear()
{
    m_bytes->clear();
}

void ByteArray::Reserve(size_t capacity)
{
    m_bytes->reserve(capacity);
}

std::string ByteArray::ToString() const
{
    return *m_bytes;
}

bool ByteArray::operator==(const ByteArray& other) const
{
    return *m_bytes == *other.m_bytes;
}

bool ByteArray::operator!=(const ByteArray& other) const
{
    return !(*this == other);
}

bool ByteArray::operator<(const ByteArray& other) const
{
    // std::char_traits<char>::compare orders as unsigned char.
    return m_bytes->compare(*other.m_bytes) < 0;
}

bool ByteArray::Equals(const unsigned char* data, size_t length) const
{
    if (data == nullptr || length != m_bytes->size())
        return false;
    return length == 0 || m_bytes->compare(0, length, reinterpret_cast<const char*>(data), length) == 0;
}

std::string ByteArray::Hexify(int upperCase, int separator) const
{
    const char* digits = upperCase == 1 ? "0123456789ABCDEF" : "0123456789abcdef";
    const char sep = separator == 2 ? ' ' : ':';
    std::string text;
    text.reserve(m_bytes->size() * 3);
    for (size_t i = 0; i < m_bytes->size(); ++i) {
        if (i != 0 && separator != 0)
            text += sep;
        const unsigned char b = static_cast<unsigned char>((*m_bytes)[i]);
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

ByteArray ByteArray::DeHexify(const std::string& text)
{
    std::string bytes;
    bytes.reserve(text.size() / 2);
    int high = -1; // pending first digit of a pair
    for (const char c : text) {
        const int value = HexValue(c);
        if (value >= 0) {
            if (high < 0) {
                high = value;
            } else {
                bytes += static_cast<char>(high * 16 + value);
                high = -1;
            }
        } else if (c == ' ' || c == ':') {
            if (high >= 0) {
                GetLogger()->Error("src/ByteArray", __LINE__)
                    << "ByteArray::DeHexify -> separator character '" << c << "'between hex-pair!"
                    << std::endl;
                throw ErrCodeException(7);
            }
        } else {
            GetLogger()->Error("src/ByteArray", __LINE__)
                << "ByteArray::DeHexify -> invalid character: '" << c << "'!" << std::endl;
            throw ErrCodeException(7);
        }
    }
    if (high >= 0) {
        GetLogger()->Error("src/ByteArray", __LINE__)
            << "ByteArray::DeHexify -> odd number of hex characters!" << std::endl;
        throw ErrCodeException(7);
    }
    return ByteArray(bytes);
}

} // namespace TvrCommon
