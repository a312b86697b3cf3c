// Facts about the running process.
#pragma once

#include <string>

namespace Platform {

// The executable's file name without folder ("kelmardin"), read from /proc/self/exe
// (the comm name is cut at 15 characters).
std::string ExecutableBaseName();
// The folder that holds the executable, without a trailing '/'.
std::string ExecutableDirectory();

}  // namespace Platform
