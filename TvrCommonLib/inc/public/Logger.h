#pragma once

#include <atomic>

#include <ostream>
#include <streambuf>
#include <string>

namespace TvrLogger {

// A host program's log sink. The libraries ask it for a stream per severity, write English
// text and end each message with std::endl. `file`/`line` name the logging statement.
class ILogger {
public:
    virtual std::ostream& Debug(const std::string& file, int line) = 0;
    virtual std::ostream& Log(int level, const std::string& file, int line) = 0;
    virtual std::ostream& Info(const std::string& file, int line) = 0;
    virtual std::ostream& Warn(const std::string& file, int line) = 0;
    virtual std::ostream& Error(const std::string& file, int line) = 0;
    virtual void Control(int value) = 0;
    virtual bool IsActive() = 0;

protected:
    // Loggers are owned by the host, never deleted through this interface.
    ~ILogger() = default;
};

// Accepts and drops every character; never fails, so the stream never enters a failed state.
class null_out_buf : public std::streambuf {
protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char_type* text, std::streamsize count) override;
};

class null_out_stream : public std::ostream {
public:
    explicit null_out_stream(null_out_buf& buffer);
};

// The fallback logger of every library: swallows everything and reports itself inactive.
class NoLogger : public ILogger {
public:
    NoLogger();
    NoLogger(const NoLogger&) = delete;
    NoLogger& operator=(const NoLogger&) = delete;
    virtual ~NoLogger() = default;

    std::ostream& Debug(const std::string& file, int line) override;
    std::ostream& Log(int level, const std::string& file, int line) override;
    std::ostream& Info(const std::string& file, int line) override;
    std::ostream& Warn(const std::string& file, int line) override;
    std::ostream& Error(const std::string& file, int line) override;
    void Control(int value) override;
    bool IsActive() override;

private:
    null_out_buf m_buffer;
    null_out_stream m_stream;
};

// The one shared NoLogger of all libraries (created on first use, thread-safe).
NoLogger* SharedNoLogger();

// One library's logger pointer: null stores the shared NoLogger, and reading it before
// anything was stored gives the NoLogger too. Atomic, so no thread sees a torn pointer.
class LoggerSlot {
public:
    void Set(ILogger* logger) { m_logger.store(logger ? logger : SharedNoLogger()); }
    ILogger* Get() const
    {
        ILogger* logger = m_logger.load();
        return logger ? logger : SharedNoLogger();
    }

private:
    std::atomic<ILogger*> m_logger{nullptr};
};

} // namespace TvrLogger

namespace TvrCommon {

// The common library's logger; null installs the shared NoLogger.
void SetLogger(TvrLogger::ILogger* logger);
// The installed logger, or the shared NoLogger when none is installed.
TvrLogger::ILogger* GetLogger();

} // namespace TvrCommon
