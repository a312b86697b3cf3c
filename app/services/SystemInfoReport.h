// The support report: the machine, its smart-card set-up and the installed middleware as
// plain text, every line ending in CRLF, sizes in whole MiB.
//
// Every file probe reads below a root folder ("/" on the machine, a fixture in tests); the
// probes that ask a running system (disk space, pcsc-lite, systemd, module search) are
// replaceable functions with working defaults.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace Platform {
class CardDatabase;
}

// This program's version and the card vendors' middleware, by vendor key ("Bit4ID",
// "Gemalto", "Gemalto2", "Oberthur"). Every answer is empty when unknown.
class IVersionSource {
 public:
  virtual ~IVersionSource() = default;
  virtual std::string ProgramVersion() = 0;
  virtual std::string MiddlewareVersion(const std::string& vendorKey) = 0;
  virtual std::string MiddlewareFolder(const std::string& vendorKey) = 0;
};

struct SystemInfoProbes {
  std::string root = "/";
  // Total and free bytes of a mounted file system (its mount point as the mount table
  // names it); false when unknown. Default: statvfs below the root.
  std::function<bool(const std::string& mountPoint, uint64_t& total, uint64_t& free)> diskSpace;
  // The "Smart card reader(s):" section's body. Default: PcscReadersText().
  std::function<std::string()> readers;
  // Whether the smart-card service answers (SCardEstablishContext). Default: pcsc-lite.
  std::function<bool()> smartCardServiceReachable;
  // systemd's properties of a unit ("UnitFileState", "Description", ...); empty when
  // systemctl does not answer in time. Default: SystemdUnitProperties().
  std::function<std::map<std::string, std::string>(const std::string& unit)> unitProperties;
  // Whether a vendor module's file is installed. Default: the library folders below the root.
  std::function<bool(const std::string& fileName)> moduleFound;
  const Platform::CardDatabase* cards = nullptr;  // none: an empty card section
  // None: this program's version and the version probes over dpkg's status below the root.
  IVersionSource* versions = nullptr;
};

class SystemInfoReport {
 public:
  // The whole report (UTF-8). Unset functions of the probes take their defaults.
  static std::string Build(SystemInfoProbes probes);

  // The readers of the running pcsc-lite with their attributes, or the failure line.
  static std::string PcscReadersText();
  // `systemctl show` of the unit, given at most timeLimitMs.
  static std::map<std::string, std::string> SystemdUnitProperties(const std::string& unit,
                                                                  int timeLimitMs = 3000);
  // "running", "not running", "running status is unknown" for 0, 1, 2; else empty.
  static std::string ServiceStatusText(int status);
};
