// A private slapd on 127.0.0.1 for directory tests: its own configuration and database in
// a temporary folder, loaded with slapadd, started in the foreground and stopped (by its
// own PID) in the destructor.
#pragma once

#include "NetRig.h"
#include "P11Rig.h"

#include <memory>
#include <string>

namespace TvrTest {

class SlapdProcess {
 public:
  // `suffix` is the database's naming context; `ldif` its entries, the suffix entry
  // first. "@PORT@" in the LDIF becomes the server's port (for referrals back to it).
  // `schema` is extra schema text (attribute types, object classes) on top of core,
  // cosine and inetorgperson. Throws std::runtime_error when slapd does not come up.
  SlapdProcess(const std::string& suffix, const std::string& ldif, const std::string& schema = {});
  ~SlapdProcess();
  SlapdProcess(const SlapdProcess&) = delete;
  SlapdProcess& operator=(const SlapdProcess&) = delete;

  int Port() const { return port_; }
  void Stop();

 private:
  bool TryStart(const std::string& suffix, const std::string& ldif, const std::string& schema);

  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
  int port_ = 0;
};

}  // namespace TvrTest
