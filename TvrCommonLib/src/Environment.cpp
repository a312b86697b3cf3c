#include "Environment.h"

#include <cstdlib>

namespace TvrCommon {

std::string GetEnvironmentVariable(const std::string& name)
{
    const char* value = std::getenv(name.c_str());
    return value == nullptr ? std::string() : std::string(value);
}

bool IsEnvironmentVariableSet(const std::string& name)
{
    return std::getenv(name.c_str()) != nullptr;
}

}  // namespace TvrCommon
