#include "SecureString.h"

#include "ErrCodeException.h"

#include <openssl/crypto.h>

#include <cstring>

namespace TvrCommon {

namespace {

// OPENSSL_cleanse cannot be optimised away the way a memset before delete can.
void WipeAndDelete(char* text, size_t length)
{
    if (text == nullptr) {
        return;
    }
    OPENSSL_cleanse(text, length);
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

SecureString::SecureString() : m_text(Duplicate("", 0)) {}

SecureString::SecureString(const char* text)
    : m_text(text == nullptr ? Duplicate("", 0) : Duplicate(text, std::strlen(text)))
{
}

SecureString::SecureString(const SecureString& other) : m_text(Duplicate(other.m_text, other.Length())) {}

SecureString& SecureString::operator=(const SecureString& other)
{
    if (this != &other) {
        char* copy = Duplicate(other.m_text, other.Length());
        WipeAndDelete(m_text, Length());
        m_text = copy;
    }
    return *this;
}

SecureString::~SecureString()
{
    WipeAndDelete(m_text, Length());
}

size_t SecureString::Length() const
{
    return std::strlen(m_text);
}

char& SecureString::At(size_t position)
{
    if (position > Length()) {
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
    std::memcpy(joined + length, other.m_text, otherLength + 1);
    WipeAndDelete(m_text, length);
    m_text = joined;
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
