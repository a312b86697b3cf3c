// The Bit4ID utility library's test double (tests/support/bit4utl) installed as
// libbit4utl.so in the test process's module folder; see the double's source for its
// configuration keys and log lines.
#pragma once

#include <string>
#include <vector>

namespace TvrTest {

class InstalledBit4utl {
 public:
  // withExports false installs the build that has none of the library's exports.
  explicit InstalledBit4utl(bool withExports = true);
  ~InstalledBit4utl();
  InstalledBit4utl(const InstalledBit4utl&) = delete;
  InstalledBit4utl& operator=(const InstalledBit4utl&) = delete;

  // Takes effect at the next call into the library.
  void Set(const std::string& key, const std::string& value);
  // One entry per call: the export's name, then each argument as logged.
  std::vector<std::vector<std::string>> Calls() const;
  void ClearCalls();

 private:
  void WriteConf() const;

  std::string path_;
  std::vector<std::pair<std::string, std::string>> settings_;
};

}  // namespace TvrTest
