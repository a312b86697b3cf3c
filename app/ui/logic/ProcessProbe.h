// Whether a process of a given executable name runs (the name of /proc/PID/exe's target,
// compared exactly).
#pragma once

#include <string>

bool IsProcessRunning(const std::string& exeName);
