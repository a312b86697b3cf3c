#include "CardReplace.h"

ObjectPresence ProbeObject(PKCS11Base& token, CK_OBJECT_HANDLE object) {
  // A pulled card has already cost the token object its session: nothing to ask then.
  if (!token.HasSession() || !token.GetFunctionList()) return ObjectPresence::Unknown;
  CK_OBJECT_CLASS objectClass = 0;
  CK_ATTRIBUTE attribute = {CKA_CLASS, &objectClass, sizeof objectClass};
  const CK_RV rv =
      token.CallModule(token.GetFunctionList()->C_GetAttributeValue, token.GetSession(), object, &attribute, CK_ULONG(1));
  if (rv == CKR_OK) return ObjectPresence::Present;
  if (rv == CKR_OBJECT_HANDLE_INVALID) return ObjectPresence::Gone;
  return ObjectPresence::Unknown;
}

ReplaceResult ReplaceOnCard(PKCS11Base& token, CK_OBJECT_HANDLE old, const std::function<bool()>& create) {
  if (!create()) {
    // Nothing of ours touched the old object; only say it is gone when the card says so.
    return ProbeObject(token, old) == ObjectPresence::Gone ? ReplaceResult::OldLost : ReplaceResult::NotCreated;
  }
  if (token.DestroyObject(old)) return ReplaceResult::Replaced;
  // A destruction whose answer was lost may still have happened.
  return ProbeObject(token, old) == ObjectPresence::Gone ? ReplaceResult::Replaced : ReplaceResult::BothKept;
}
