#include "Base64.h"

#include "Base64DecodedBufferImpl.h"
#include "ErrCodeException.h"

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

namespace TvrCommon {

namespace {

struct BioChainDeleter {
    void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using BioChain = std::unique_ptr<BIO, BioChainDeleter>;

// Returns the filter with the sink pushed below it; the pair is freed as one chain.
BioChain MakeBase64Chain(BIO* sink)
{
    if (sink == nullptr) {
        throw ErrCodeException(3);
    }
    BIO* filter = BIO_new(BIO_f_base64());
    if (filter == nullptr) {
        BIO_free_all(sink);
        throw ErrCodeException(3);
    }
    return BioChain(BIO_push(filter, sink));
}

bool IsBase64Letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

bool IsLineBreak(char c)
{
    return c == '\r' || c == '\n';
}

// The letters of a well-formed text without its line breaks, which may stand anywhere and
// split lines of any length. The letters come in groups of four, and only the last group may
// end in one or two '='. Anything else (a missing '=', a letter after the padding, a blank or
// another character outside the alphabet) is malformed: code 4, rather than whatever part the
// filter makes of it.
std::string LettersOf(const char* text, size_t length)
{
    std::string letters;
    letters.reserve(length);
    size_t padding = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (IsLineBreak(*p)) {
            continue;
        }
        if (*p == '=') {
            ++padding;
        } else if (!IsBase64Letter(*p) || padding > 0) {
            OPENSSL_cleanse(&letters[0], letters.size());
            throw ErrCodeException(4);
        }
        letters += *p;
    }
    const size_t groupEnd = (letters.size() - padding) % 4;
    if (letters.size() % 4 != 0 || padding > 2 || (padding > 0 && groupEnd + padding != 4)) {
        OPENSSL_cleanse(&letters[0], letters.size());
        throw ErrCodeException(4);
    }
    return letters;
}

size_t DecodedSizeOf(const std::string& letters)
{
    size_t padding = 0;
    while (padding < letters.size() && letters[letters.size() - 1 - padding] == '=') {
        ++padding;
    }
    return letters.size() / 4 * 3 - padding;
}

}  // namespace

std::unique_ptr<std::string> Base64Encode(const void* data, int length, bool keepLineBreaks)
{
    if (length < 0 || (length > 0 && data == nullptr)) {
        throw ErrCodeException(4);
    }
    BIO* memory = BIO_new(BIO_s_mem());
    BioChain chain = MakeBase64Chain(memory);
    if (!keepLineBreaks) {
        BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
    }
    if (length > 0 && BIO_write(chain.get(), data, length) != length) {
        throw ErrCodeException(1);
    }
    if (BIO_flush(chain.get()) != 1) {
        throw ErrCodeException(1);
    }
    BUF_MEM* contents = nullptr;
    BIO_get_mem_ptr(memory, &contents);
    if (contents == nullptr || contents->length == 0) {
        throw ErrCodeException(1);
    }
    size_t size = contents->length;
    if (contents->data[size - 1] == '\n') {
        --size;
    }
    return std::make_unique<std::string>(contents->data, size);
}

Base64DecodedBufferImpl::Base64DecodedBufferImpl(const char* text) : data(nullptr), size(0), owns(false)
{
    if (text == nullptr) {
        throw ErrCodeException(4);
    }
    const size_t textLength = std::strlen(text);
    if (textLength > static_cast<size_t>(INT32_MAX)) {
        throw ErrCodeException(4);
    }
    // The filter reads the letters as one line: in its line mode it quietly drops what
    // follows a line longer than it expects.
    struct Wiped {
        std::string text;
        ~Wiped() { OPENSSL_cleanse(&text[0], text.size()); }
    } letters{LettersOf(text, textLength)};
    const size_t expected = DecodedSizeOf(letters.text);
    BIO* input = BIO_new_mem_buf(letters.text.data(), static_cast<int>(letters.text.size()));
    BioChain chain = MakeBase64Chain(input);
    BioChain output(BIO_new(BIO_s_mem()));
    if (!output) {
        throw ErrCodeException(3);
    }
    BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);

    unsigned char block[4096];
    for (;;) {
        const int got = BIO_read(chain.get(), block, sizeof block);
        if (got <= 0) {
            break;
        }
        if (BIO_write(output.get(), block, got) != got) {
            OPENSSL_cleanse(block, sizeof block);
            throw ErrCodeException(3);
        }
    }
    OPENSSL_cleanse(block, sizeof block);

    const unsigned char zero = 0;
    if (BIO_write(output.get(), &zero, 1) != 1) {
        throw ErrCodeException(3);
    }
    BUF_MEM* contents = nullptr;
    BIO_get_mem_ptr(output.get(), &contents);
    if (contents == nullptr || contents->data == nullptr) {
        throw ErrCodeException(1);
    }
    // Detach the buffer so that freeing the BIO keeps the decoded bytes.
    BIO_set_close(output.get(), BIO_NOCLOSE);
    output.reset();
    data = reinterpret_cast<unsigned char*>(contents->data);
    size = contents->length - 1;
    contents->data = nullptr;
    BUF_MEM_free(contents);
    owns = true;
    // The filter stops quietly where it cannot go on; a short result is never handed out.
    if (size != expected) {
        OPENSSL_cleanse(data, size);
        OPENSSL_free(data);
        data = nullptr;
        size = 0;
        owns = false;
        throw ErrCodeException(4);
    }
}

Base64DecodedBufferImpl::~Base64DecodedBufferImpl()
{
    if (owns) {
        OPENSSL_free(data);
    }
}

Base64DecodedBuffer::Base64DecodedBuffer(const char* text) : m_impl(new Base64DecodedBufferImpl(text)) {}

Base64DecodedBuffer::~Base64DecodedBuffer()
{
    delete m_impl;
}

unsigned char* Base64DecodedBuffer::GetData() const
{
    return m_impl->data;
}

size_t Base64DecodedBuffer::GetSize() const
{
    return m_impl->size;
}

unsigned char* Base64DecodedBuffer::Release()
{
    m_impl->owns = false;
    return m_impl->data;
}

void Base64DecodedBuffer::Wipe()
{
    if (m_impl->data != nullptr && m_impl->size > 0) {
        OPENSSL_cleanse(m_impl->data, m_impl->size);
    }
}

}  // namespace TvrCommon
