#pragma once

#include "Logger.h"

#include <sstream>
#include <string>

// Collects what the libraries log, one stream per severity.
class CapturingLogger : public TvrLogger::ILogger {
public:
    std::ostream& Debug(const std::string&, int) override { return debug; }
    std::ostream& Log(int, const std::string&, int) override { return info; }
    std::ostream& Info(const std::string&, int) override { return info; }
    std::ostream& Warn(const std::string&, int) override { return info; }
    std::ostream& Error(const std::string&, int) override { return error; }
    void Control(int) override {}
    bool IsActive() override { return true; }

    std::ostringstream debug;
    std::ostringstream info;
    std::ostringstream error;
};
