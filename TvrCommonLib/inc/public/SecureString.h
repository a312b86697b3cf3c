#ifndef TVRCOMMON_SECURESTRING_H
#define TVRCOMMON_SECURESTRING_H

#include <cstddef>
#include <cstdint>

namespace TvrCommon {

// A zero-terminated text for passwords, PINs and paths that overwrites its
// characters before it ever hands a buffer back to the heap. The buffer is
// never shared: every copy, append and substring allocates a new exact-size one.
class SecureString {
public:
    static constexpr size_t npos = SIZE_MAX;

    SecureString();
    SecureString(const char* text);  // NOLINT: implicit on purpose, like a string literal
    SecureString(const SecureString& other);
    SecureString& operator=(const SecureString& other);
    ~SecureString();

    const char* CStr() const { return m_text; }
    size_t Length() const;

    // Writable characters: positions below Length(). The terminating zero is read-only, so
    // the writable form refuses Length() (code 4), as it refuses every larger position.
    char& At(size_t position);
    // Positions 0 to Length() (the terminating zero included); beyond: code 4.
    const char& At(size_t position) const;

    size_t Find(char c, size_t from = 0) const;
    size_t FindNot(char c, size_t from = 0) const;
    size_t ReverseFind(char c, size_t from = npos) const;
    size_t ReverseFindNot(char c, size_t from = npos) const;
    size_t Search(char c, size_t from, bool equal, bool reverse) const;

    SecureString Substr(size_t position, size_t count = npos) const;
    void Append(const SecureString& other);

    // Zeros a heap text (array allocation) up to its zero byte and frees it.
    static void WipeAndFree(char* text);

private:
    static char* Duplicate(const char* text, size_t length);
    // Takes over a buffer of `size` bytes, wiping and freeing the current one.
    void Replace(char* text, size_t size);

    char* m_text;
    // The bytes allocated for m_text: a zero written into the text through At() shortens
    // Length(), but every byte is still wiped on release.
    size_t m_size;
};

SecureString operator+(const SecureString& a, const SecureString& b);
bool operator==(const SecureString& a, const SecureString& b);
bool operator!=(const SecureString& a, const SecureString& b);

}  // namespace TvrCommon

#endif
