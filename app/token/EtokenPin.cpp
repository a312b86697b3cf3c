#include "EtokenPin.h"

#include "PKCS11Base.h"
#include "VendorPin.h"

namespace {

CK_ATTRIBUTE UlongAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG* value) {
  return {type, value, sizeof(CK_ULONG)};
}

}  // namespace

CGemalto2Ext::CGemalto2Ext(PKCS11Base& owner)
    : token(owner), functionList(owner.GetFunctionList()) {
  if (!functionList) return;
  const auto getList = reinterpret_cast<Etoken::GetFunctionListExFn>(
      Platform::GetProcAddress(owner.GetModule(), Etoken::kGetFunctionListExExport));
  if (!getList) return;
  void* list = nullptr;
  if (token.CallModule(getList, &list) == CKR_OK) extensionList = static_cast<void* const*>(list);
}

template <typename Read>
bool CGemalto2Ext::WithOneObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE* search,
                                 CK_ULONG count, bool exactlyOne, Read read) {
  if (!functionList) return false;
  if (token.CallModule(functionList->C_FindObjectsInit, session, search, count) != CKR_OK) {
    return false;
  }
  CK_OBJECT_HANDLE object = 0;
  CK_ULONG found = 0;
  bool ok = token.CallModule(functionList->C_FindObjects, session, &object, CK_ULONG{1},
                             &found) == CKR_OK &&
            (exactlyOne ? found == 1 : found != 0);
  if (ok) ok = read(object);
  // No search may stay open in the caller's session.
  token.CallModule(functionList->C_FindObjectsFinal, session);
  return ok;
}

bool CGemalto2Ext::QueryTransportFlag(CK_SESSION_HANDLE session) {
  CK_ULONG objectClass = CKO_HW_FEATURE;
  CK_ULONG featureType = Etoken::kPinStateFeature;
  CK_ULONG userType = Etoken::kSigningPinUser;
  CK_ATTRIBUTE search[] = {UlongAttribute(CKA_CLASS, &objectClass),
                           UlongAttribute(CKA_HW_FEATURE_TYPE, &featureType),
                           UlongAttribute(Etoken::kPinStateUserType, &userType)};
  bool waiting = false;
  const bool read = WithOneObject(session, search, 3, true, [&](CK_OBJECT_HANDLE object) {
    CK_BYTE flag = 0xFF;
    CK_ATTRIBUTE value = {Etoken::kPinStateFlag, &flag, 1};
    if (token.CallModule(functionList->C_GetAttributeValue, session, object, &value,
                         CK_ULONG{1}) != CKR_OK) {
      return false;
    }
    waiting = flag == 0;
    return true;
  });
  return read && waiting;
}

bool CGemalto2Ext::GetRetryCounters(CK_SESSION_HANDLE session, CK_ULONG* first,
                                    CK_ULONG* second, CK_ULONG* third, CK_ULONG* fourth) {
  CK_ULONG objectClass = CKO_HW_FEATURE;
  CK_ULONG featureType = Etoken::kRetryCounterFeature;
  CK_ATTRIBUTE search[] = {UlongAttribute(CKA_CLASS, &objectClass),
                           UlongAttribute(CKA_HW_FEATURE_TYPE, &featureType)};
  return WithOneObject(session, search, 2, false, [&](CK_OBJECT_HANDLE object) {
    CK_ULONG values[4] = {0, 0, 0, 0};
    CK_ATTRIBUTE counters[] = {UlongAttribute(Etoken::kGlobalPinTries, &values[0]),
                               UlongAttribute(Etoken::kSecondCounter, &values[1]),
                               UlongAttribute(Etoken::kSigningPinTries, &values[2]),
                               UlongAttribute(Etoken::kPukTries, &values[3])};
    if (token.CallModule(functionList->C_GetAttributeValue, session, object, counters,
                         CK_ULONG{4}) != CKR_OK) {
      return false;
    }
    CK_ULONG* outputs[] = {first, second, third, fourth};
    for (int i = 0; i < 4; ++i) {
      if (outputs[i]) *outputs[i] = values[i];
    }
    return true;
  });
}

bool CGemalto2Ext::ChangePin(CK_SESSION_HANDLE session, const TvrCommon::SecureString* oldPin,
                             const TvrCommon::SecureString* newPin) {
  if (!functionList || !extensionList) return false;
  const auto change = reinterpret_cast<Etoken::ChangePinFn>(extensionList[Etoken::kChangePinEntry]);
  return token.CallModule(change, session, Etoken::kSigningPinUser, CK_ULONG{0}, CK_ULONG{0},
                          CK_ULONG{0}, CK_ULONG{0}, PinBytes(oldPin), PinLength(oldPin),
                          PinBytes(newPin), PinLength(newPin)) == CKR_OK;
}

bool CGemalto2Ext::UnblockPin(CK_SESSION_HANDLE session, const TvrCommon::SecureString* puk,
                              const TvrCommon::SecureString* newPin, CK_USER_TYPE userType) {
  if (!functionList || !extensionList) return false;
  const auto unblock =
      reinterpret_cast<Etoken::UnblockPinFn>(extensionList[Etoken::kUnblockPinEntry]);
  return token.CallModule(unblock, session, userType, PinBytes(newPin), PinLength(newPin),
                          CK_ULONG{3}, CK_ULONG{0}, PinBytes(puk), PinLength(puk)) == CKR_OK;
}

bool EtokenGetRetryCounters(PKCS11Base* token, CK_ULONG* first, CK_ULONG* second,
                            CK_ULONG* third, CK_ULONG* fourth) {
  if (!token) return false;
  // The outputs change only when the counters were read.
  CGemalto2Ext ext(*token);
  return ext.GetRetryCounters(token->GetSession(), first, second, third, fourth);
}

int EtokenGetRetryCounter(PKCS11Base* token, uint8_t selector) {
  CK_ULONG values[4] = {0, 0, 0, 0};
  if (!EtokenGetRetryCounters(token, &values[0], &values[1], &values[2], &values[3])) return -1;
  if (selector > 3) return -1;
  return PlausibleTries(static_cast<int64_t>(values[selector]));
}

bool EtokenUnblockPin(PKCS11Base* token, const TvrCommon::SecureString* puk,
                      const TvrCommon::SecureString* newPin) {
  if (!token) return false;
  CGemalto2Ext ext(*token);
  return ext.UnblockPin(token->GetSession(), puk, newPin, Etoken::kGlobalPinUser);
}

bool EtokenSigningPinNeedsActivation(PKCS11Base* token) {
  if (!token) return false;
  CGemalto2Ext ext(*token);
  return ext.QueryTransportFlag(token->GetSession());
}

bool EtokenChangeSigningPin(PKCS11Base* token, const TvrCommon::SecureString* oldPin,
                            const TvrCommon::SecureString* newPin) {
  if (!token) return false;
  CGemalto2Ext ext(*token);
  return ext.ChangePin(token->GetSession(), oldPin, newPin);
}

bool EtokenUnblockSigningPin(PKCS11Base* token, const TvrCommon::SecureString* puk,
                             const TvrCommon::SecureString* newPin) {
  if (!token) return false;
  CGemalto2Ext ext(*token);
  return ext.UnblockPin(token->GetSession(), puk, newPin);
}
