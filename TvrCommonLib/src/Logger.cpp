#include "Logger.h"

#include <atomic>

namespace TvrLogger {

null_out_buf::int_type null_out_buf::overflow(int_type ch)
{
    return traits_type::not_eof(ch);
}

std::streamsize null_out_buf::xsputn(const char_type*, std::streamsize count)
{
    return count;
}

null_out_stream::null_out_stream(null_out_buf& buffer) : std::ostream(&buffer) {}

NoLogger::NoLogger() : m_buffer(), m_stream(m_buffer) {}

std::ostream& NoLogger::Debug(const std::string&, int) { return m_stream; }
std::ostream& NoLogger::Log(int, const std::string&, int) { return m_stream; }
std::ostream& NoLogger::Info(const std::string&, int) { return m_stream; }
std::ostream& NoLogger::Warn(const std::string&, int) { return m_stream; }
std::ostream& NoLogger::Error(const std::string&, int) { return m_stream; }
void NoLogger::Control(int) {}
bool NoLogger::IsActive() { return false; }

NoLogger* SharedNoLogger()
{
    static NoLogger instance;
    return &instance;
}

} // namespace TvrLogger

namespace TvrCommon {

namespace {
TvrLogger::LoggerSlot g_logger;
}

void SetLogger(TvrLogger::ILogger* logger) { g_logger.Set(logger); }
TvrLogger::ILogger* GetLogger() { return g_logger.Get(); }

} // namespace TvrCommon
