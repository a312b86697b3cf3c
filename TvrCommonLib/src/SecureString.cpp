#include "SecureString.h"

#include "ErrCodeException.h"

#include <openssl/crypto.h>

#include <cstring>

namespace TvrCommon {

namespace {

// OPENSSL_cleanse cannot be optimised away the way a memset before delete can.
void WipeAndDelete(char* text, size_t size)
{
    if (text == nullptr) {
        return;
    }
    OPENSSL_cleanse(text, size);
    delete[] text;
}

}  // namespace

char* SecureString::Duplicate(const char* text, size_t length)
{
    char* copy = new char[length + 1];
    if (length > 0) {
        std::memcpy(copy, text, length);
    }
    copy[length] = '\0';
    return copy;
}

SecureString::SecureString() : m_text(Duplicate("", 0)), m_size(1) {}

SecureString::SecureString(const char* text) : m_text(nullptr), m_size(0)
{
    const size_t length = text == nullptr ? 0 : std::strlen(text);
    m_text = Duplicate(text == nullptr ? "" : text, length);
    m_size = length + 1;
}

SecureString::SecureString(const SecureString& other) : m_text(nullptr), m_size(0)
{
    const size_t length = other.Length();
    m_text = Duplicate(other.m_text, length);
    m_size = length + 1;
}

SecureString& SecureString::operator=(const SecureString& other)
{
    if (this != &other) {
        const size_t length = other.Length();
        Replace(Duplicate(other.m_text, length), length + 1);
    }
    return *this;
}

SecureString::~SecureString()
{
    WipeAndDelete(m_text, m_size);
}

void SecureString::Replace(char* text, size_t size)
{
    WipeAndDelete(m_text, m_size);
    m_text = text;
    m_size = size;
}

size_t SecureString::Length() const
{
    return std::strlen(m_text);
}

char& SecureString::At(size_t position)
{
    if (position >= Length()) {
        throw ErrCodeException(4);
    }
    return m_text[position];
}

const char& SecureString::At(size_t position) const
{
    if (position > Length()) {
        throw ErrCodeException(4);
    }
    return m_text[position];
}

size_t SecureString::Search(char c, size_t from, bool equal, bool reverse) const
{
    const size_t length = Length();
    if (!reverse) {
        if (from == npos) {
            return npos;
        }
        if (from > length) {
            throw ErrCodeException(4);
        }
        for (size_t i = from; i < length; ++i) {
            if ((m_text[i] == c) == equal) {
                return i;
            }
        }
        return npos;
    }
    if (from != npos && from > length) {
        throw ErrCodeException(4);
    }
    if (length == 0) {
        return npos;
    }
    // npos and the terminating zero's position both mean "from the last character".
    size_t i = (from == npos || from >= length) ? length - 1 : from;
    for (;; --i) {
        if ((m_text[i] == c) == equal) {
            return i;
        }
        if (i == 0) {
            return npos;
        }
    }
}

size_t SecureString::Find(char c, size_t from) const
{
    return Search(c, from, true, false);
}

size_t SecureString::FindNot(char c, size_t from) const
{
    return Search(c, from, false, false);
}

size_t SecureString::ReverseFind(char c, size_t from) const
{
    return Search(c, from, true, true);
}

size_t SecureString::ReverseFindNot(char c, size_t from) const
{
    return Search(c, from, false, true);
}

SecureString SecureString::Substr(size_t position, size_t count) const
{
    const size_t length = Length();
    if (position > length) {
        throw ErrCodeException(4);
    }
    const size_t available = length - position;
    const size_t taken = (count == npos || count > available) ? available : count;
    char* part = Duplicate(m_text + position, taken);
    SecureString result(part);
    WipeAndDelete(part, taken);
    return result;
}

void SecureString::Append(const SecureString& other)
{
    const size_t otherLength = other.Length();
    if (otherLength == 0) {
        return;
    }
    const size_t length = Length();
    char* joined = new char[length + otherLength + 1];
    std::memcpy(joined, m_text, length);
    std::memcpy(joined + length, other.m_text, otherLength);
    joined[length + otherLength] = '\0';
    Replace(joined, length + otherLength + 1);
}

void SecureString::WipeAndFree(char* text)
{
    if (text != nullptr) {
        WipeAndDelete(text, std::strlen(text));
    }
}

SecureString operator+(const SecureString& a, const SecureString& b)
{
    SecureString result(a);
    result.Append(b);
    return result;
}

bool operator==(const SecureString& a, const SecureString& b)
{
    return std::strcmp(a.CStr(), b.CStr()) == 0;
}

bool operator!=(const SecureString& a, const SecureString& b)
{
    return !(a == b);
}

}  // namespace TvrCommon
