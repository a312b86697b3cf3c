#ifndef TVRCOMMON_ENVIRONMENT_H
#define TVRCOMMON_ENVIRONMENT_H

#include <string>

namespace TvrCommon {

// The variable's value; "" when unset.
std::string GetEnvironmentVariable(const std::string& name);
bool IsEnvironmentVariableSet(const std::string& name);

}  // namespace TvrCommon

#endif
