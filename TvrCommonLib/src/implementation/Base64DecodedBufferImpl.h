#ifndef TVRCOMMON_BASE64DECODEDBUFFERIMPL_H
#define TVRCOMMON_BASE64DECODEDBUFFERIMPL_H

#include <cstddef>

namespace TvrCommon {

class Base64DecodedBufferImpl {
public:
    explicit Base64DecodedBufferImpl(const char* text);
    virtual ~Base64DecodedBufferImpl();

    Base64DecodedBufferImpl(const Base64DecodedBufferImpl&) = delete;
    Base64DecodedBufferImpl& operator=(const Base64DecodedBufferImpl&) = delete;

    unsigned char* data;
    size_t size;
    bool owns;
};

}  // namespace TvrCommon

#endif
