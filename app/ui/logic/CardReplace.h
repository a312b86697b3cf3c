// Replacing one card object by another: the new object is written first and the old one
// destroyed only afterwards, so that a failure at any point (the card pulled included)
// leaves the card with the old object, the new one, or both, never with neither. For that
// moment two objects may carry one label and CKA_ID, which PKCS#11 allows; a module that
// refuses it gets the old object deleted first, and written back when the new one fails.
#pragma once

#include <functional>

#include "PKCS11Base.h"

enum class ReplaceResult {
  Replaced,     // the new object is on the card, the old one gone
  NotCreated,   // the new object could not be written; the old one was not touched
  BothKept,     // the new object is on the card, the old one could not be destroyed
  OldLost,      // the new object could not be written and the old one is no longer there
  OldRestored,  // the new object could not be written; the old one was deleted and written back
};

enum class ObjectPresence { Present, Gone, Unknown };

// Whether the object is still on the card; Unknown when the card cannot say (gone, or no
// session). Never opens a session.
ObjectPresence ProbeObject(PKCS11Base& token, CK_OBJECT_HANDLE object);

// `create` writes the new object and answers whether the module took it. `restore`, when
// given, writes the old object back: with it a refused create while the old object is still
// there is tried again after deleting the old one.
ReplaceResult ReplaceOnCard(PKCS11Base& token, CK_OBJECT_HANDLE old, const std::function<bool()>& create,
                            const std::function<bool()>& restore = {});
