// Cryptoki declarations for the token layer (p11-kit's header), plus the few helpers every
// Cryptoki caller here needs.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "SecureString.h"

// CK_RV and CK_ULONG are 64-bit here; event texts print the 32-bit value the standard
// defines, as eight hexadecimal digits.
inline unsigned int Rv32(CK_ULONG value) { return static_cast<unsigned int>(value & 0xFFFFFFFFu); }

// No attribute of a card object is anywhere near this; a larger length is a module fault,
// not something to allocate for.
inline constexpr CK_ULONG kMaxAttributeLength = 16 * 1024 * 1024;

// A fixed-length, blank-padded Cryptoki text: at most `length` bytes, up to a zero byte,
// trailing blanks cut.
inline std::string FixedText(const CK_UTF8CHAR* field, size_t length) {
  size_t n = 0;
  while (n < length && field[n] != 0) ++n;
  while (n > 0 && field[n - 1] == ' ') --n;
  return std::string(reinterpret_cast<const char*>(field), n);
}

// A PIN as Cryptoki takes it; a null PIN passes a null pointer and length 0, which lets a
// PIN-pad reader take the value.
inline CK_UTF8CHAR_PTR PinBytes(const TvrCommon::SecureString* pin) {
  return pin ? reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin->CStr())) : nullptr;
}
inline CK_ULONG PinLength(const TvrCommon::SecureString* pin) { return pin ? pin->Length() : 0; }
