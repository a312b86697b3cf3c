#include "X509LibLogger.h"

#include <ostream>

namespace TvrX509 {

namespace {
TvrLogger::LoggerSlot g_logger;
}

void SetLogger(TvrLogger::ILogger* logger) { g_logger.Set(logger); }
TvrLogger::ILogger* GetLogger() { return g_logger.Get(); }

bool TraceCondition(bool value, const char* label, bool negate)
{
    bool holds = negate ? !value : value;
    GetLogger()->Debug("src/X509LibLogger", __LINE__)
        << "d" << ":" << (label ? label : "") << (holds ? "t" : "f") << std::endl;
    return value;
}

} // namespace TvrX509
