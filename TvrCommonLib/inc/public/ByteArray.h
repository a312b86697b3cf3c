#pragma once

#include <cstddef>
#include <string>

namespace TvrCommon {

// The byte buffer passed between the libraries (DER, digests, signatures, request bodies).
// Holds any byte values, zero bytes included, in one contiguous buffer that is never shared.
class ByteArray {
public:
    ByteArray();
    ByteArray(const unsigned char* data, size_t length);
    ByteArray(size_t count, unsigned char fill);
    explicit ByteArray(const std::string& bytes);
    ByteArray(const ByteArray& other);
    ByteArray& operator=(const ByteArray& other);
    virtual ~ByteArray();

    // Never null, also for an empty array; valid until the next change or destruction.
    const unsigned char* GetData() const;
    size_t GetSize() const;

    void Append(const unsigned char* data, size_t length);
    // Inserts before `position` (0..size); beyond the size throws std::out_of_range.
    void Insert(size_t position, const unsigned char* data, size_t length);
    void Assign(const unsigned char* data, size_t length);
    void Assign(size_t count, unsigned char fill);
    void Clear();
    void Reserve(size_t capacity);
    std::string ToString() const;

    bool operator==(const ByteArray& other) const;
    bool operator!=(const ByteArray& other) const;
    // Unsigned lexicographic order; a prefix sorts first.
    bool operator<(const ByteArray& other) const;
    bool Equals(const unsigned char* data, size_t length) const;

    // Two digits per byte; upper case only for upperCase == 1; separator 0 none, 2 blank,
    // anything else a colon.
    std::string Hexify(int upperCase, int separator) const;
    // Accepts what Hexify writes in either case and with any separator; malformed text
    // throws ErrCodeException code 7.
    static ByteArray DeHexify(const std::string& text);

private:
    std::string* m_bytes;
};

} // namespace TvrCommon
