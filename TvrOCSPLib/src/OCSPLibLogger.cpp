#include "OCSPLibLogger.h"

namespace TvrOCSP {

namespace {
TvrLogger::LoggerSlot g_logger;
}

void SetLogger(TvrLogger::ILogger* logger) { g_logger.Set(logger); }
TvrLogger::ILogger* GetLogger() { return g_logger.Get(); }

} // namespace TvrOCSP
