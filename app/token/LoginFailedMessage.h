// The user's text for a failed log-in, with the remaining tries of the card type's PIN
// when its vendor path can tell them.
#pragma once

#include <string>

class PKCS11Base;

// "Sikertelen bejelentkezés!", then for "Bit4ID", "Gemalto" and "Gemalto2" tokens a line
// feed and how many tries are left (or that the PIN is locked); nothing more when the
// count is not available.
std::string BuildLoginFailedMessage(PKCS11Base* token);
