#pragma once

#include "Logger.h"

namespace TvrCrypto {

// The crypto library's logger; null installs the shared NoLogger.
void SetLogger(TvrLogger::ILogger* logger);
// The installed logger, or the shared NoLogger when none is installed.
TvrLogger::ILogger* GetLogger();

} // namespace TvrCrypto
