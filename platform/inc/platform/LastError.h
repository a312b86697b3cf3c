// The calling thread's "last error" code and the English texts of the codes that the
// platform layers report. Codes keep their Windows numbers (so event texts and user
// messages read the same as on the original platform); PC/SC codes are pcsc-lite's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace Platform {

// Windows-numbered error codes set by the platform layers.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorInvalidFunction = 1;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorInvalidData = 13;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorFileExists = 80;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorModNotFound = 126;
inline constexpr uint32_t kErrorProcNotFound = 127;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorBadExeFormat = 193;
inline constexpr uint32_t kErrorMoreData = 234;
inline constexpr uint32_t kErrorNoMoreItems = 259;
inline constexpr uint32_t kErrorServiceNotActive = 1062;
inline constexpr uint32_t kErrorCancelled = 1223;
inline constexpr uint32_t kErrorNotFound = 1168;
inline constexpr uint32_t kErrorTimeout = 1460;
// Certificate stores and providers.
inline constexpr uint32_t kEInvalidArg = 0x80070057u;            // E_INVALIDARG
inline constexpr uint32_t kNteProvDllNotFound = 0x8009001Eu;     // NTE_PROV_DLL_NOT_FOUND
inline constexpr uint32_t kCryptENotFound = 0x80092004u;         // CRYPT_E_NOT_FOUND
inline constexpr uint32_t kCryptEExists = 0x80092005u;           // CRYPT_E_EXISTS
inline constexpr uint32_t kCryptEAsn1BadTag = 0x8009310Bu;       // CRYPT_E_ASN1_BADTAG

uint32_t GetLastError();
void SetLastError(uint32_t code);
// The Windows-numbered code that stands for a POSIX errno value.
uint32_t ErrorFromErrno(int err);

// The English text of a code, ending in a line break as the system's texts do; nothing
// for a code the table does not know.
std::optional<std::string> SystemErrorText(uint32_t code);

}  // namespace Platform
