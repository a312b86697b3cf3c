// UTF-8 and UTF-16 text from cards, modules and files: the converters never write or read
// outside their buffers, and strict conversion of what converted gives the input back.
#include <cstring>
#include <string>
#include <vector>

#include "ConvertUTF.h"
#include "FuzzSupport.h"
#include "UtfConverter.h"

namespace {

void Utf8Direction(const uint8_t* data, size_t size) {
  std::vector<char16_t> wide(size + 1);
  const unsigned char* source = data;
  char16_t* target = wide.data();
  const ConversionResult result =
      ConvertUTF8toUTF16(&source, data + size, &target, wide.data() + size, strictConversion);
  if (result != conversionOK) return;
  std::vector<unsigned char> back(size + 1);
  const char16_t* wideSource = wide.data();
  unsigned char* out = back.data();
  TvrFuzz::Require(ConvertUTF16toUTF8(&wideSource, target, &out, back.data() + size,
                                      strictConversion) == conversionOK &&
                       static_cast<size_t>(out - back.data()) == size &&
                       std::memcmp(back.data(), data, size) == 0,
                   "UTF-8 -> UTF-16 -> UTF-8");
}

void Utf16Direction(const uint8_t* data, size_t size) {
  std::vector<char16_t> wide(size / 2);
  if (!wide.empty()) std::memcpy(wide.data(), data, wide.size() * 2);
  std::vector<unsigned char> narrow(wide.size() * 3);
  const char16_t* source = wide.data();
  unsigned char* target = narrow.data();
  ConvertUTF16toUTF8(&source, wide.data() + wide.size(), &target, narrow.data() + narrow.size(),
                     lenientConversion);
}

void Converter(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  UtfConverter converter;
  try {
    const char16_t* wide = converter.Utf8ToWide(text.c_str());
    const char* back = converter.WideToUtf8(wide);
    TvrFuzz::Require(std::strcmp(back, text.c_str()) == 0, "UtfConverter round trip");
  } catch (const UtfConverter::ConversionErrorException&) {
  }
  std::vector<char16_t> wide(size / 2 + 1, 0);
  if (size >= 2) std::memcpy(wide.data(), data, (size / 2) * 2);
  try {
    converter.WideToUtf8(wide.data());
  } catch (const UtfConverter::ConversionErrorException&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Utf8Direction(data, size);
  Utf16Direction(data, size);
  Converter(data, size);
  return 0;
}
