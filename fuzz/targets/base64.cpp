// Base64 text from certificate files, clipboard and server answers: decoding, and
// encoding what was decoded gives text that decodes to the same bytes.
#include <cstring>
#include <string>

#include "Base64.h"
#include "ErrCodeException.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // zero-terminated copy
  std::string bytes;
  try {
    TvrCommon::Base64DecodedBuffer decoded(text.c_str());
    bytes.assign(reinterpret_cast<const char*>(decoded.GetData()), decoded.GetSize());
    if (decoded.GetData()) TvrFuzz::Require(decoded.GetData()[decoded.GetSize()] == 0, "zero after the data");
  } catch (const TvrCommon::ErrCodeException&) {
    return 0;  // malformed text
  }
  if (bytes.empty()) return 0;
  for (bool lines : {false, true}) {
    const auto encoded = TvrCommon::Base64Encode(bytes.data(), static_cast<int>(bytes.size()), lines);
    TvrCommon::Base64DecodedBuffer again(encoded->c_str());
    TvrFuzz::Require(again.GetSize() == bytes.size() &&
                         std::memcmp(again.GetData(), bytes.data(), bytes.size()) == 0,
                     "Base64 round trip");
  }
  return 0;
}
