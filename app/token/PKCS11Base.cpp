#include "PKCS11Base.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "EventLog.h"
#include "platform/LastError.h"

namespace {

std::string VFormat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

using GetFunctionListFn = CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR);

// How often a slot list that grew between its count and its fill is asked again.
constexpr int kSlotListAttempts = 4;
// More slots than any machine has readers for: a larger count is the module's fault.
constexpr CK_ULONG kMaxSlots = 4096;

void LogErrorEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogErrorEvent(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = VFormat(format, args);
  va_end(args);
  LogEvent(EVENTLOG_ERROR_TYPE, text);
}

}  // namespace

bool MeansSessionGone(CK_RV rv) {
  return rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED ||
         rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT;
}

std::string GetCryptokiVersion(ModuleHandle module, const std::atomic<bool>* givenUp) {
  if (!module) return {};
  auto getFunctionList = reinterpret_cast<GetFunctionListFn>(
      Platform::GetProcAddress(module, "C_GetFunctionList"));
  CK_FUNCTION_LIST* list = nullptr;
  if (!getFunctionList || getFunctionList(&list) != CKR_OK || !list) return {};
  if (!list->C_Initialize || !list->C_Finalize || !list->C_GetInfo) return {};
  const CK_RV initialized = list->C_Initialize(nullptr);
  if (givenUp && *givenUp) return {};
  if (initialized != CKR_OK) return {};
  std::string version;
  CK_INFO info;
  std::memset(&info, 0, sizeof info);
  if (list->C_GetInfo(&info) == CKR_OK) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%02d", info.cryptokiVersion.major,
                  info.cryptokiVersion.minor);
    version = text;
  }
  if (list->C_Finalize(nullptr) != CKR_OK) version.clear();
  return version;
}

PKCS11Base::Binding::~Binding() {
  // An unbound module stays loaded: whatever it is, we never got to know its state.
  if (!functionList) return;
  if (initialized) {
    CK_RV rv;
    {
      std::lock_guard<std::recursive_mutex> guard(callLock);
      rv = functionList->C_Finalize ? functionList->C_Finalize(nullptr) : CKR_FUNCTION_NOT_SUPPORTED;
    }
    if (rv != CKR_OK) LogErrorEvent("FINALIZE ERROR! Error code: %08x", Rv32(rv));
  }
  if (!Platform::FreeLibrary(module))
    LogErrorEvent("Free Library ERROR! Error code: %08x", Platform::GetLastError());
}

PKCS11Base::PKCS11Base(const VendorModuleEntry* row, ModuleHandle module)
    : vendorModule_(row), binding_(std::make_shared<Binding>(module)) {
  if (!module) {
    LogError("No module!");
    return;
  }
  auto getFunctionList = reinterpret_cast<GetFunctionListFn>(
      Platform::GetProcAddress(module, "C_GetFunctionList"));
  if (!getFunctionList) {
    LogError("Get Procedure Address ERROR! Error code: %08x", Platform::GetLastError());
    return;
  }
  CK_FUNCTION_LIST* list = nullptr;
  CK_RV rv = Call(getFunctionList, &list);
  if (rv != CKR_OK) {
    LogError("Get Function List ERROR! Error code: %08x", Rv32(rv));
    return;
  }
  binding_->functionList = list;
  InitializeAndReadInfo();
}

PKCS11Base::PKCS11Base(const PKCS11Base& primary, bool)
    : vendorModule_(primary.vendorModule_),
      binding_(primary.binding_),
      readerName_(primary.GetReaderName()),
      isClone_(true) {}

PKCS11Base::~PKCS11Base() {
  if (!binding_->functionList) LogError("NO FUNCTIONLIST POINTER");
}

bool PKCS11Base::InitializeAndReadInfo() {
  CK_RV rv = Call(binding_->functionList->C_Initialize, nullptr);
  if (rv != CKR_OK) {
    LogError("INITIALIZE ERROR! Error code: %08x", Rv32(rv));
    return false;
  }
  binding_->initialized = true;
  CK_INFO info;
  std::memset(&info, 0, sizeof info);
  if (Call(binding_->functionList->C_GetInfo, &info) != CKR_OK) return true;
  LogInfo(
      "Manufacturer ID: %.*s, library description: %.*s, library version: %d.%d, "
      "cryptoki version: %d.%02d",
      32, reinterpret_cast<const char*>(info.manufacturerID), 32,
      reinterpret_cast<const char*>(info.libraryDescription), info.libraryVersion.major,
      info.libraryVersion.minor, info.cryptokiVersion.major, info.cryptokiVersion.minor);
  cryptokiVersion_ = info.cryptokiVersion;
  manufacturerId_.assign(reinterpret_cast<const char*>(info.manufacturerID), 32);
  libraryFlags_ = static_cast<uint32_t>(info.flags);
  libraryDescription_.assign(reinterpret_cast<const char*>(info.libraryDescription), 32);
  libraryVersion_ = info.libraryVersion;
  return true;
}

std::string PKCS11Base::GetReaderName() const {
  std::lock_guard<std::mutex> guard(readerNameLock_);
  return readerName_;
}

void PKCS11Base::SetReaderName(const std::string& name) {
  std::lock_guard<std::mutex> guard(readerNameLock_);
  readerName_ = name;
}

void PKCS11Base::LogError(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  std::string text = VFormat(format, args);
  va_end(args);
  LogEvent(EVENTLOG_ERROR_TYPE, text);
}

void PKCS11Base::LogInfo(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  std::string text = VFormat(format, args);
  va_end(args);
  LogEvent(EVENTLOG_INFORMATION_TYPE, text);
}

bool PKCS11Base::CheckFunctionList() const {
  if (binding_->functionList) return true;
  LogError("NO FUNCTIONLIST POINTER");
  return false;
}

bool PKCS11Base::IsValid() const { return binding_->functionList != nullptr; }

CK_FUNCTION_LIST* PKCS11Base::GetFunctionList() const { return binding_->functionList; }

void PKCS11Base::Reinitialize() {
  if (!CheckFunctionList()) return;
  if (isClone_) return;
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  if (binding_->initialized) {
    CK_RV rv = Call(binding_->functionList->C_Finalize, nullptr);
    if (rv != CKR_OK) {
      LogError("FINALIZE ERROR! Error code: %08x", Rv32(rv));
      return;
    }
    binding_->initialized = false;
    // Every session of the module, the clones' included, ended with the finalisation.
    ++binding_->generation;
  }
  InitializeAndReadInfo();
}

bool PKCS11Base::IsInitialized() const { return binding_->initialized; }

std::vector<CK_SLOT_ID> PKCS11Base::GetSlotList(bool tokenPresent) {
  if (!CheckFunctionList()) return {};
  const CK_BBOOL present = tokenPresent ? CK_TRUE : CK_FALSE;
  // Count and fill under one lock so that a reader change between the calls cannot
  // be seen half.
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  // Modules that look for readers on every call may find one more between the count and
  // the fill and answer "buffer too small": count again, a bounded number of times.
  for (int attempt = 0; attempt < kSlotListAttempts; ++attempt) {
    CK_ULONG count = 0;
    CK_RV rv = Call(GetFunctionList()->C_GetSlotList, present, nullptr, &count);
    if (rv == CKR_BUFFER_TOO_SMALL) continue;
    if (rv != CKR_OK || count > kMaxSlots) return {};
    std::vector<CK_SLOT_ID> slots(count);
    if (count == 0) return slots;
    rv = Call(GetFunctionList()->C_GetSlotList, present, slots.data(), &count);
    if (rv == CKR_BUFFER_TOO_SMALL) continue;
    if (rv != CKR_OK) return {};
    slots.resize(std::min<size_t>(count, slots.size()));
    return slots;
  }
  return {};
}

void PKCS11Base::SetSlot(CK_SLOT_ID slot) { slotId_ = slot; }

std::unique_ptr<SlotInfo> PKCS11Base::GetSlotInfo() {
  if (!CheckFunctionList()) return nullptr;
  CK_SLOT_INFO info;
  std::memset(&info, 0, sizeof info);
  CK_RV rv = Call(GetFunctionList()->C_GetSlotInfo, slotId_, &info);
  if (rv != CKR_OK) {
    LogError("GETSLOTINFO ERROR! Error code: %08x", Rv32(rv));
    return nullptr;
  }
  auto result = std::make_unique<SlotInfo>();
  result->description = FixedText(info.slotDescription, sizeof info.slotDescription);
  result->manufacturerId = FixedText(info.manufacturerID, sizeof info.manufacturerID);
  result->tokenPresent = (info.flags & CKF_TOKEN_PRESENT) != 0;
  return result;
}

bool PKCS11Base::IsTokenPresent() {
  if (!CheckFunctionList()) return false;
  CK_SLOT_INFO info;
  std::memset(&info, 0, sizeof info);
  CK_RV rv = Call(GetFunctionList()->C_GetSlotInfo, slotId_, &info);
  if (rv != CKR_OK) {
    LogError("GETSLOTINFO ERROR! Error code: %08x", Rv32(rv));
    return false;
  }
  return (info.flags & CKF_TOKEN_PRESENT) != 0;
}

bool PKCS11Base::OpenSession(bool readWrite) {
  if (!CheckFunctionList()) return false;
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  DropStaleSession();
  if (session_ != 0) {
    LogError("OPENSESSION ERROR! ILLEGAL STATE!");
    return false;
  }
  CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
  CK_SESSION_HANDLE handle = 0;
  CK_RV rv = Call(GetFunctionList()->C_OpenSession, slotId_, flags, static_cast<CK_VOID_PTR>(nullptr),
                  static_cast<CK_NOTIFY>(nullptr), &handle);
  if (rv != CKR_OK) {
    LogError("OPENSESSION ERROR! Error code: %08x", Rv32(rv));
    return false;
  }
  MarkSessionCurrent();
  session_ = handle;
  return true;
}

bool PKCS11Base::CloseSession() {
  if (!CheckFunctionList()) return false;
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  if (session_ != 0 && SessionPredatesBinding()) {
    // Already ended by the module's reinitialisation; its number may be another's now.
    ForgetSession();
    return true;
  }
  if (session_ == 0) {
    LogError("CLOSESESSION ERROR! ILLEGAL STATE!");
    return false;
  }
  CK_RV rv = Call(GetFunctionList()->C_CloseSession, session_.load());
  if (rv != CKR_OK) {
    LogError("CLOSESESSION ERROR! Error code: %08x", Rv32(rv));
    return false;
  }
  session_ = 0;
  return true;
}

bool PKCS11Base::HasSession() const { return session_ != 0 && !SessionPredatesBinding(); }

std::unique_ptr<SessionInfo> PKCS11Base::GetSessionInfo() {
  if (!CheckFunctionList()) return nullptr;
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  CK_SESSION_INFO info;
  std::memset(&info, 0, sizeof info);
  if (Call(GetFunctionList()->C_GetSessionInfo, GetSession(), &info) != CKR_OK) return nullptr;
  auto result = std::make_unique<SessionInfo>();
  result->slotId = info.slotID;
  result->state = info.state <= 4 ? static_cast<uint32_t>(info.state) : 5;
  result->flags = static_cast<uint32_t>(info.flags);
  result->deviceError = static_cast<uint32_t>(info.ulDeviceError);
  result->readWrite = (info.flags & CKF_RW_SESSION) != 0;
  result->serial = (info.flags & CKF_SERIAL_SESSION) != 0;
  return result;
}

CK_SESSION_HANDLE PKCS11Base::GetSession() const {
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  DropStaleSession();
  return session_.load();
}

bool PKCS11Base::Login(const TvrCommon::SecureString* pin, CK_USER_TYPE userType) {
  if (!CheckFunctionList()) return false;
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  CK_RV rv = Call(GetFunctionList()->C_Login, GetSession(), userType, PinBytes(pin), PinLength(pin));
  if (rv != CKR_OK) {
    LogError("LOGIN ERROR! Error code: %08x", Rv32(rv));
    return false;
  }
  MarkSessionCurrent();
  loggedIn_ = true;
  return true;
}

bool PKCS11Base::LoginEx(const TvrCommon::SecureString* pin, bool securityOfficer, CK_RV* rv) {
  if (!CheckFunctionList()) return false;
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  DropStaleSession();
  if (loggedIn_) return false;
  CK_RV result = Call(GetFunctionList()->C_Login, session_.load(),
                      static_cast<CK_USER_TYPE>(securityOfficer ? CKU_SO : CKU_USER),
                      PinBytes(pin), PinLength(pin));
  if (rv) *rv = result;
  if (result != CKR_OK) {
    LogError("LOGIN ERROR! Error code: %08x", Rv32(result));
    return false;
  }
  MarkSessionCurrent();
  loggedIn_ = true;
  return true;
}

bool PKCS11Base::Logout() {
  if (!CheckFunctionList()) return false;
  std::lock_guard<std::recursive_mutex> guard(CallLock());
  DropStaleSession();
  if (!loggedIn_) return false;
  CK_RV rv = Call(GetFunctionList()->C_Logout, session_.load());
  if (rv != CKR_OK) {
    LogError("LOGOUT ERROR! Error code: %08x", Rv32(rv));
    return false;
  }
  loggedIn_ = false;
  return true;
}

bool PKCS11Base::IsLoggedIn() const { return loggedIn_ && !SessionPredatesBinding(); }
