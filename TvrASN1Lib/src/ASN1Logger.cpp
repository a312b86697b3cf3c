#include "ASN1Logger.h"

#include <atomic>

namespace TvrASN1 {

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

} // namespace TvrASN1
