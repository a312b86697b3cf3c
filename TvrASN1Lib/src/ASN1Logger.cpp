#include "ASN1Logger.h"

namespace TvrASN1 {

namespace {
TvrLogger::LoggerSlot g_logger;
}

void SetLogger(TvrLogger::ILogger* logger) { g_logger.Set(logger); }
TvrLogger::ILogger* GetLogger() { return g_logger.Get(); }

} // namespace TvrASN1
