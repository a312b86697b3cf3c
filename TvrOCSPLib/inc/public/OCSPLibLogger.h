#pragma once

#include "Logger.h"

namespace TvrOCSP {

// The OCSP library's logger; null installs the shared NoLogger.
void SetLogger(TvrLogger::ILogger* logger);
// The installed logger, or the shared NoLogger when none is installed.
TvrLogger::ILogger* GetLogger();

} // namespace TvrOCSP
