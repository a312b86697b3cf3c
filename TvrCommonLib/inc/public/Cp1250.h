#pragma once

#include <string>

namespace TvrCommon {

// Decodes Windows-1250 bytes to UTF-8, for showing text that is not valid UTF-8 (card
// labels). The five bytes the code page leaves undefined become U+FFFD. A converter that
// cannot be opened throws ErrCodeException code 1.
std::string Cp1250ToUtf8(const std::string& bytes);

} // namespace TvrCommon
