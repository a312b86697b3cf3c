#pragma once

#include "ByteArray.h"

#include <cstddef>

namespace TvrASN1 {

// Bytes that hold exactly one DER encoding; the type is the only addition.
class DERBytes : public TvrCommon::ByteArray {
public:
    DERBytes();
    DERBytes(const void* data, size_t length);
    DERBytes(size_t count, unsigned char fill);
    DERBytes(const TvrCommon::ByteArray& bytes);
    virtual ~DERBytes();
};

} // namespace TvrASN1
