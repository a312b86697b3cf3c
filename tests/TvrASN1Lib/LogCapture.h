#pragma once

#include "Logger.h"

#include <sstream>
#include <string>
#include <vector>

// Collects what a library logs, one stream per severity; installs itself for its lifetime
// through the given hook pair.
class LogCapture final : public TvrLogger::ILogger {
public:
    using Setter = void (*)(TvrLogger::ILogger*);
    explicit LogCapture(Setter setter) : m_setter(setter) { m_setter(this); }
    ~LogCapture() { m_setter(nullptr); }

    std::ostream& Debug(const std::string&, int) override { return debug; }
    std::ostream& Log(int, const std::string&, int) override { return log; }
    std::ostream& Info(const std::string&, int) override { return info; }
    std::ostream& Warn(const std::string&, int) override { return warn; }
    std::ostream& Error(const std::string&, int) override { return error; }
    void Control(int) override {}
    bool IsActive() override { return true; }

    static std::vector<std::string> Lines(const std::ostringstream& stream)
    {
        std::vector<std::string> lines;
        std::istringstream in(stream.str());
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    std::ostringstream debug, log, info, warn, error;

private:
    Setter m_setter;
};
