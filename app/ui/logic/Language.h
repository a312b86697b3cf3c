// The interface language, settled once at start-up.
#pragma once

#include <string>

#include "UserPort.h"

// The machine-wide profile that holds the fallback language ("kelmardin" whatever the
// executable is called).
inline constexpr const char* kMachineProfileName = "kelmardin";

// The user's "Language"; when it has none, the machine-wide one, and "HUN" when that is
// missing too; a language found this way is written to the user's profile. A missing
// machine-wide profile is reported once through the port.
std::string ResolveLanguage(IUserPort& port);

// Only "ENG" exactly asks for the English resources.
bool WantsEnglishResources(const std::string& language);
