#pragma once

#include "Logger.h"

namespace TvrX509 {

// The X.509 library's logger; null installs the shared NoLogger.
void SetLogger(TvrLogger::ILogger* logger);
// The installed logger, or the shared NoLogger when none is installed.
TvrLogger::ILogger* GetLogger();

// Writes the debug line "d:" + label + "t" or "f" (the truth of negate ? !value : value)
// and returns `value` unchanged.
bool TraceCondition(bool value, const char* label, bool negate);

} // namespace TvrX509
