// Card labels that are not valid UTF-8, shown through the code page decoder: every byte
// becomes exactly one character of valid UTF-8.
#include <string>

#include "ConvertUTF.h"
#include "Cp1250.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = TvrCommon::Cp1250ToUtf8(bytes);
  std::u16string wide(text.size() + 1, u'\0');
  const unsigned char* source = reinterpret_cast<const unsigned char*>(text.data());
  char16_t* target = wide.data();
  TvrFuzz::Require(ConvertUTF8toUTF16(&source, source + text.size(), &target,
                                      wide.data() + wide.size(), strictConversion) == conversionOK,
                   "decoded text is valid UTF-8");
  TvrFuzz::Require(static_cast<size_t>(target - wide.data()) == size, "one character per byte");
  return 0;
}
