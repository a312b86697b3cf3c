// Which version of the program runs, and which card-vendor middleware is installed, in
// which version and folder. Every probe answers with a text, empty when it cannot tell;
// none reports an error.
//
// On Linux the installed middleware comes from dpkg's status database (installed
// packages only). A vendor's middleware is the first of its package-name prefixes that
// matches an installed package; within one prefix the package listed last wins. The
// built-in prefixes are the vendors' product names; the machine-wide profile appends
// Debian package names per vendor key in its [MiddlewarePackages] section
// ("Gemalto"=multi:"libclassicclient"). The installation folder is the folder of the
// vendor's PKCS#11 module as this process loaded it.
#pragma once

#include <string>
#include <vector>

namespace TvrServices {

// The program's own version ("1.6.3.0"), the same text as in the user agent.
std::string GetOwnFileVersion();

// "1:4.2.0-3" -> "4.2.0": the upstream part of a Debian version.
std::string UpstreamVersion(const std::string& debianVersion);

class VersionProbes {
 public:
  // Section of the machine-wide profile that adds package-name prefixes per vendor key.
  static constexpr const char* kPackagesSection = "MiddlewarePackages";

  // `rootFolder` is prepended to /var/lib/dpkg/status (tests give their own tree).
  explicit VersionProbes(std::string rootFolder = "/");

  // The prefixes tried for a vendor key, built-in first, then those of the profile.
  std::vector<std::string> Prefixes(const std::string& vendorKey) const;

  // The installed version of the last installed package whose name begins with `prefix`
  // (case-sensitive), epoch and Debian revision stripped.
  std::string GetMiddlewareVersion(const std::string& prefix) const;
  // Per vendor key: its prefixes in order until one answers.
  std::string VendorVersion(const std::string& vendorKey) const;
  // The folder of the vendor's PKCS#11 module as loaded here; empty when not loaded.
  std::string VendorInstallLocation(const std::string& vendorKey) const;

  std::string GetBit4idMiddlewareVersion() const { return VendorVersion("Bit4ID"); }
  std::string GetClassicClientVersion() const { return VendorVersion("Gemalto"); }
  std::string GetSafeNetClientVersion() const { return VendorVersion("Gemalto2"); }
  std::string GetAuthentICWebpackVersion() const { return VendorVersion("Oberthur"); }
  std::string GetBit4idMiddlewareInstallLocation() const { return VendorInstallLocation("Bit4ID"); }
  std::string GetClassicClientInstallLocation() const { return VendorInstallLocation("Gemalto"); }
  std::string GetSafeNetClientInstallLocation() const { return VendorInstallLocation("Gemalto2"); }
  std::string GetAuthentICWebpackInstallLocation() const { return VendorInstallLocation("Oberthur"); }

 private:
  std::string statusPath_;
};

// The folder holding the loaded shared object of this file name ("libgclib.so"), empty
// when the process has not loaded it.
std::string LoadedModuleFolder(const std::string& fileName);

}  // namespace TvrServices
