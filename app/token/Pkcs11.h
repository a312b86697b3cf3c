// Cryptoki declarations for the token layer (p11-kit's header), plus the few helpers every
// Cryptoki caller here needs.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>

// CK_RV and CK_ULONG are 64-bit here; event texts print the 32-bit value the standard
// defines, as eight hexadecimal digits.
inline unsigned int Rv32(CK_ULONG value) { return static_cast<unsigned int>(value & 0xFFFFFFFFu); }
