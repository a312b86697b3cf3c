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

ReplaceResult ReplaceOnCard(PKCS11Base& token, CK_OBJECT_HANDLE old, const std::function<bool()>& create,
                            const std::function<bool()>& restore) {
  if (!create()) {
    // Nothing of ours touched the old object; only say it is gone when the card says so.
    const ObjectPresence presence = ProbeObject(token, old);
    if (presence == ObjectPresence::Gone) return ReplaceResult::OldLost;
    // Refused while the old one is there (a module that keeps one object per CKA_ID):
    // delete first, and write the old one back when the new one still fails.
    if (!restore || presence != ObjectPresence::Present) return ReplaceResult::NotCreated;
    // A destruction whose answer was lost may still have happened.
    if (!token.DestroyObject(old) && ProbeObject(token, old) != ObjectPresence::Gone) return ReplaceResult::NotCreated;
    if (create()) return ReplaceResult::Replaced;
    return restore() ? ReplaceResult::OldRestored : ReplaceResult::OldLost;
  }
  if (token.DestroyObject(old)) return ReplaceResult::Replaced;
  // A destruction whose answer was lost may still have happened.
  return ProbeObject(token, old) == ObjectPresence::Gone ? ReplaceResult::Replaced : ReplaceResult::BothKept;
}
