// PIN functions of "Gemalto2" (eToken) cards beyond standard PKCS#11, through two vendor
// means of the same module: hardware-feature objects with vendor attributes (retry
// counters, the signing PIN's transport state), read with the standard calls, and the
// vendor's extension function list ("ETC_GetFunctionListEx"), whose entries change and
// unblock a PIN of a given user type. Nothing here opens, closes or logs into a session,
// logs an event, or deletes or wipes a PIN text: callers own all of them.
#pragma once

#include <cstdint>

#include "Pkcs11.h"
#include "SecureString.h"

class PKCS11Base;

namespace Etoken {

inline constexpr CK_USER_TYPE kGlobalPinUser = CKU_USER;
inline constexpr CK_USER_TYPE kSigningPinUser = 0x80000002;
inline constexpr CK_HW_FEATURE_TYPE kRetryCounterFeature = 0x80005002;
inline constexpr CK_HW_FEATURE_TYPE kPinStateFeature = 0x8000500A;
inline constexpr CK_ATTRIBUTE_TYPE kPinStateUserType = 0x80001219;  // CK_ULONG
// One byte; 0 means the PIN still waits for its activation.
inline constexpr CK_ATTRIBUTE_TYPE kPinStateFlag = 0x80001218;
inline constexpr CK_ATTRIBUTE_TYPE kGlobalPinTries = 0x80001110;
inline constexpr CK_ATTRIBUTE_TYPE kSecondCounter = 0x80001111;
inline constexpr CK_ATTRIBUTE_TYPE kSigningPinTries = 0x80001152;
inline constexpr CK_ATTRIBUTE_TYPE kPukTries = 0x80001154;

inline constexpr const char* kGetFunctionListExExport = "ETC_GetFunctionListEx";
// Positions of the two entries used in the extension list of function pointers.
inline constexpr size_t kChangePinEntry = 38;
inline constexpr size_t kUnblockPinEntry = 39;

extern "C" {
typedef CK_RV (*GetFunctionListExFn)(void** list);
typedef CK_RV (*ChangePinFn)(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_ULONG,
                             CK_ULONG, CK_ULONG, CK_ULONG, CK_UTF8CHAR_PTR oldPin,
                             CK_ULONG oldLength, CK_UTF8CHAR_PTR newPin, CK_ULONG newLength);
typedef CK_RV (*UnblockPinFn)(CK_SESSION_HANDLE session, CK_USER_TYPE userType,
                              CK_UTF8CHAR_PTR newPin, CK_ULONG newLength, CK_ULONG mode,
                              CK_ULONG, CK_UTF8CHAR_PTR puk, CK_ULONG pukLength);
}

}  // namespace Etoken

// The token's standard function list and, when the module offers one, its extension list.
// Built on the stack for one operation; owns nothing.
class CGemalto2Ext {
 public:
  explicit CGemalto2Ext(PKCS11Base& token);
  virtual ~CGemalto2Ext() = default;
  CGemalto2Ext(const CGemalto2Ext&) = delete;
  CGemalto2Ext& operator=(const CGemalto2Ext&) = delete;

  bool HasExtensions() const { return extensionList != nullptr; }

  // True when the signing PIN waits for its activation.
  bool QueryTransportFlag(CK_SESSION_HANDLE session);
  // The four counters of the retry-counter object; the outputs change only on success.
  bool GetRetryCounters(CK_SESSION_HANDLE session, CK_ULONG* first, CK_ULONG* second,
                        CK_ULONG* third, CK_ULONG* fourth);
  // Changes the signing PIN.
  bool ChangePin(CK_SESSION_HANDLE session, const TvrCommon::SecureString* oldPin,
                 const TvrCommon::SecureString* newPin);
  // Unblocks the PIN of the user type (the signing PIN unless told otherwise).
  bool UnblockPin(CK_SESSION_HANDLE session, const TvrCommon::SecureString* puk,
                  const TvrCommon::SecureString* newPin,
                  CK_USER_TYPE userType = Etoken::kSigningPinUser);

 private:
  // The one object matching the template; false with the search ended otherwise.
  template <typename Read>
  bool WithOneObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE* search, CK_ULONG count,
                     bool exactlyOne, Read read);

  PKCS11Base& token;
  CK_FUNCTION_LIST* functionList;
  void* const* extensionList = nullptr;
};

// Token-level adapters: each works in the token's current session.
bool EtokenGetRetryCounters(PKCS11Base* token, CK_ULONG* first, CK_ULONG* second,
                            CK_ULONG* third, CK_ULONG* fourth);
// Selector 0..3 picks the first..fourth counter; -1 when they cannot be read, for any
// other selector, and for a value that cannot be a count.
int EtokenGetRetryCounter(PKCS11Base* token, uint8_t selector);
// Unblocks the global PIN (user type CKU_USER).
bool EtokenUnblockPin(PKCS11Base* token, const TvrCommon::SecureString* puk,
                      const TvrCommon::SecureString* newPin);
bool EtokenSigningPinNeedsActivation(PKCS11Base* token);
bool EtokenChangeSigningPin(PKCS11Base* token, const TvrCommon::SecureString* oldPin,
                            const TvrCommon::SecureString* newPin);
bool EtokenUnblockSigningPin(PKCS11Base* token, const TvrCommon::SecureString* puk,
                             const TvrCommon::SecureString* newPin);
