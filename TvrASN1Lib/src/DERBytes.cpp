#include "DERBytes.h"

namespace TvrASN1 {

DERBytes::DERBytes() = default;

DERBytes::DERBytes(const void* data, size_t length)
    : TvrCommon::ByteArray(static_cast<const unsigned char*>(data), length)
{
}

DERBytes::DERBytes(size_t count, unsigned char fill) : TvrCommon::ByteArray(count, fill) {}

DERBytes::DERBytes(const TvrCommon::ByteArray& bytes) : TvrCommon::ByteArray(bytes) {}

DERBytes::~DERBytes() = default;

} // namespace TvrASN1
