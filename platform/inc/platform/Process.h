// Facts about the running process.
#pragma once

#include <string>

namespace Platform {

// The executable's file name without folder ("kelmardin"), read from /proc/self/exe
// (the comm name is cut at 15 characters). After the binary has been removed or replaced
// on disk it is still the name the process was started under.
std::string ExecutableBaseName();
// The folder that holds the executable, without a trailing '/'.
std::string ExecutableDirectory();

}  // namespace Platform
