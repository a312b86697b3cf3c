// A card that leaves in the middle of a command, through the test module: from the n-th
// call of one function on, every call answers CKR_DEVICE_REMOVED; putting it back closes
// the module's sessions (as a new insertion would) and opens a logged-in session again.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "P11Rig.h"
#include "PKCS11Base.h"
#include "SecureString.h"

namespace UiTest {

// With `afterCall` the removing call first reaches the card (it took the write, the
// answer was lost).
inline void PullCardAt(TvrTest::InstalledShim& shim, const std::string& function, int call, bool afterCall = false) {
  shim.SetOption("removed_at." + function, std::to_string(call));
  if (afterCall) shim.SetOption("removed_after_call", "1");
}

inline void PutCardBack(TvrTest::InstalledShim& shim, PKCS11Base& token, const std::string& function) {
  shim.ClearOption("removed_at." + function);
  shim.ClearOption("removed_after_call");
  shim.DropSessions();
  token.CloseSession();
  ASSERT_TRUE(token.OpenSession(true));
  TvrCommon::SecureString pin("1234");
  ASSERT_TRUE(token.Login(&pin, CKU_USER));
}

}  // namespace UiTest
