#include "X509LibLogger.h"

#include <atomic>
#include <ostream>

namespace TvrX509 {

namespace {
std::atomic<TvrLogger::ILogger*> g_logger{nullptr};
}

void SetLogger(TvrLogger::ILogger* logger)
{
    g_logger.store(logger ? logger : TvrLogger::SharedNoLogger());
}

TvrLogger::ILogger* GetLogger()
{
    TvrLogger::ILogger* logger = g_logger.load();
    return logger ? logger : TvrLogger::SharedNoLogger();
}

bool TraceCondition(bool value, const char* label, bool negate)
{
    bool holds = negate ? !value : value;
    GetLogger()->Debug("src/X509LibLogger", __LINE__)
        << "d" << ":" << (label ? label : "") << (holds ? "t" : "f") << std::endl;
    return value;
}

} // namespace TvrX509
