#ifndef TVRCOMMON_BASE64_H
#define TVRCOMMON_BASE64_H

#include <cstddef>
#include <memory>
#include <string>

namespace TvrCommon {

class Base64DecodedBufferImpl;

// Encodes with OpenSSL's Base64 filter: one line without breaks, or lines of
// 64 characters joined by line feeds. An empty input throws code 1.
std::unique_ptr<std::string> Base64Encode(const void* data, int length, bool keepLineBreaks);

// The bytes of a zero-terminated Base64 text, followed by one uncounted zero
// byte. Owned (OpenSSL's allocator) until Release().
class Base64DecodedBuffer {
public:
    explicit Base64DecodedBuffer(const char* text);
    virtual ~Base64DecodedBuffer();

    Base64DecodedBuffer(const Base64DecodedBuffer&) = delete;
    Base64DecodedBuffer& operator=(const Base64DecodedBuffer&) = delete;

    unsigned char* GetData() const;
    size_t GetSize() const;
    // Gives up ownership; the caller frees the data with OPENSSL_free.
    unsigned char* Release();
    void Wipe();

private:
    Base64DecodedBufferImpl* m_impl;
};

}  // namespace TvrCommon

#endif
