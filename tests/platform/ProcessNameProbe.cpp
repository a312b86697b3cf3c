// Started by ProcessTest from a copy of this binary: says "ready", waits for one line on
// its input (meanwhile the test removes or replaces the copy), then prints its name and
// folder as the platform layer reads them.
#include <iostream>
#include <string>

#include "platform/Process.h"

int main() {
  std::cout << "ready" << std::endl;
  std::string line;
  std::getline(std::cin, line);
  std::cout << Platform::ExecutableBaseName() << '\n' << Platform::ExecutableDirectory() << std::endl;
  return 0;
}
