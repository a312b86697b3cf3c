#include "platform/LastError.h"

#include <cerrno>
#include <unordered_map>

namespace Platform {

namespace {
thread_local uint32_t t_lastError = 0;

const std::unordered_map<uint32_t, const char*>& Texts() {
  static const std::unordered_map<uint32_t, const char*> texts = {
      {0, "The operation completed successfully."},
      {1, "Incorrect function."},
      {2, "The system cannot find the file specified."},
      {3, "The system cannot find the path specified."},
      {4, "The system cannot open the file."},
      {5, "Access is denied."},
      {6, "The handle is invalid."},
      {8, "Not enough memory resources are available to process this command."},
      {13, "The data is invalid."},
      {32, "The process cannot access the file because it is being used by another process."},
      {50, "The request is not supported."},
      {80, "The file exists."},
      {87, "The parameter is incorrect."},
      {112, "There is not enough space on the disk."},
      {122, "The data area passed to a system call is too small."},
      {126, "The specified module could not be found."},
      {127, "The specified procedure could not be found."},
      {183, "Cannot create a file when that file already exists."},
      {193, "The file is not a valid shared library for this system."},
      {234, "More data is available."},
      {259, "No more data is available."},
      {1062, "The service has not been started."},
      {1168, "Element not found."},
      {1223, "The operation was canceled by the user."},
      {1460, "This operation returned because the timeout period expired."},
      // certificate stores and providers
      {0x80070057u, "The parameter is incorrect."},
      {0x8009001Eu, "Provider DLL could not be found."},
      {0x80092004u, "Cannot find object or property."},
      {0x80092005u, "The object or property already exists."},
      {0x8009310Bu, "ASN1 bad tag value met."},
      // PC/SC (pcsc-lite's codes, the same numbers as the Windows smart-card service)
      {0x80100001u, "An internal consistency check failed."},
      {0x80100002u, "The action was cancelled by an SCardCancel request."},
      {0x80100003u, "The supplied handle was invalid."},
      {0x80100004u, "One or more of the supplied parameters could not be properly interpreted."},
      {0x80100005u, "Registry startup information is missing or invalid."},
      {0x80100006u, "Not enough memory available to complete this command."},
      {0x80100007u, "An internal consistency timer has expired."},
      {0x80100008u, "The data buffer to receive returned data is too small for the returned data."},
      {0x80100009u, "The specified reader name is not recognized."},
      {0x8010000Au, "The user-specified timeout value has expired."},
      {0x8010000Bu, "The smart card cannot be accessed because of other connections outstanding."},
      {0x8010000Cu, "The operation requires a smart card, but no smart card is currently in the device."},
      {0x8010000Du, "The specified smart card name is not recognized."},
      {0x8010000Eu, "The system could not dispose of the media in the requested manner."},
      {0x8010000Fu, "The requested protocols are incompatible with the protocol currently in use with the smart card."},
      {0x80100010u, "The reader or smart card is not ready to accept commands."},
      {0x80100011u, "One or more of the supplied parameters values could not be properly interpreted."},
      {0x80100012u, "The action was cancelled by the system, presumably to log off or shut down."},
      {0x80100013u, "An internal communications error has been detected."},
      {0x80100014u, "An internal error has been detected, but the source is unknown."},
      {0x80100015u, "An ATR obtained from the registry is not a valid ATR string."},
      {0x80100016u, "An attempt was made to end a non-existent transaction."},
      {0x80100017u, "The specified reader is not currently available for use."},
      {0x80100018u, "The operation has been aborted to allow the server application to exit."},
      {0x80100019u, "The PCI Receive buffer was too small."},
      {0x8010001Au, "The reader driver does not meet minimal requirements for support."},
      {0x8010001Bu, "The reader driver did not produce a unique reader name."},
      {0x8010001Cu, "The smart card does not meet minimal requirements for support."},
      {0x8010001Du, "The Smart Card Resource Manager is not running."},
      {0x8010001Eu, "The Smart Card Resource Manager has shut down."},
      {0x8010001Fu, "An unexpected card error has occurred."},
      {0x8010002Eu, "Cannot find a smart card reader."},
      {0x80100065u, "The reader cannot communicate with the card, due to ATR string configuration conflicts."},
      {0x80100066u, "The smart card is not responding to a reset."},
      {0x80100067u, "Power has been removed from the smart card, so that further communication is not possible."},
      {0x80100068u, "The smart card has been reset, so any shared state information is invalid."},
      {0x80100069u, "The smart card has been removed, so further communication is not possible."},
  };
  return texts;
}
}  // namespace

uint32_t GetLastError() { return t_lastError; }
void SetLastError(uint32_t code) { t_lastError = code; }

uint32_t ErrorFromErrno(int err) {
  switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EMFILE: case ENFILE: return kErrorTooManyOpenFiles;
    case EACCES: case EPERM: case EROFS: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EBUSY: case ETXTBSY: return kErrorSharingViolation;
    case EEXIST: return kErrorFileExists;
    case EINVAL: return kErrorInvalidParameter;
    case ENOSPC: return kErrorDiskFull;
    case ERANGE: return kErrorInsufficientBuffer;
    case ETIMEDOUT: return kErrorTimeout;
    case ECANCELED: return kErrorCancelled;
    case ENOTSUP: return kErrorNotSupported;
    default: return kErrorInvalidFunction;
  }
}

std::optional<std::string> SystemErrorText(uint32_t code) {
  auto it = Texts().find(code);
  if (it == Texts().end()) return std::nullopt;
  return std::string(it->second) + "\n";
}

}  // namespace Platform
