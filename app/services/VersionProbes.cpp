#include "VersionProbes.h"

#include "CardTables.h"
#include "platform/Library.h"
#include "platform/Profile.h"

#include <link.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace TvrServices {

namespace {

struct BuiltInPrefixes {
  const char* vendorKey;
  std::vector<std::string> prefixes;
};

const BuiltInPrefixes kBuiltIn[] = {
    {"Bit4ID", {"Bit4ID Universal Middleware"}},
    {"Gemalto", {"Classic Client 6.0", "Classic Client 6.1", "Classic Client 6.2", "Classic Client 6.3"}},
    {"Gemalto2", {"SafeNet Authentication Client 10.6"}},
    {"Oberthur",
     {"AuthentIC Webpack v4.1", "AuthentIC Webpack v4.2", "AuthentIC Webpack v4.3", "AuthentIC Webpack v4.4",
      "AWP v4.1", "AWP v4.2", "AWP v4.3", "AWP v4.4"}},
};

// The machine-wide profile of the program, whatever the running executable is called.
constexpr const char* kMachineProfile = "kelmardin";

struct Paragraph {
  std::string package;
  std::string status;
  std::string version;
};

// Walks the status file paragraph by paragraph (blank lines separate them).
template <typename Visit>
void ForEachPackage(const std::string& path, Visit visit) {
  std::ifstream in(path);
  if (!in) return;
  Paragraph current;
  auto flush = [&] {
    if (!current.package.empty()) visit(current);
    current = Paragraph();
  };
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      flush();
      continue;
    }
    if (line[0] == ' ' || line[0] == '\t') continue;  // continuation of a long field
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    size_t start = line.find_first_not_of(" \t", colon + 1);
    std::string value = start == std::string::npos ? std::string() : line.substr(start);
    if (name == "Package") current.package = value;
    else if (name == "Status") current.status = value;
    else if (name == "Version") current.version = value;
  }
  flush();
}

// "install ok installed": the third word is the package's state.
bool Installed(const std::string& status) {
  std::istringstream words(status);
  std::string want, flag, state;
  words >> want >> flag >> state;
  return state == "installed";
}

const char* ModuleFileOf(const std::string& vendorKey) {
  for (const VendorModuleEntry& row : VendorModuleTable)
    if (vendorKey == row.typeKey) return row.moduleFile;
  return nullptr;
}

}  // namespace

std::string GetOwnFileVersion() { return TVR_PROGRAM_VERSION; }

std::string UpstreamVersion(const std::string& debianVersion) {
  std::string version = debianVersion;
  size_t colon = version.find(':');
  if (colon != std::string::npos) version.erase(0, colon + 1);
  size_t dash = version.rfind('-');
  if (dash != std::string::npos) version.erase(dash);
  return version;
}

VersionProbes::VersionProbes(std::string rootFolder) {
  if (rootFolder.empty() || rootFolder.back() != '/') rootFolder += '/';
  statusPath_ = rootFolder + "var/lib/dpkg/status";
}

std::vector<std::string> VersionProbes::Prefixes(const std::string& vendorKey) const {
  std::vector<std::string> prefixes;
  for (const BuiltInPrefixes& row : kBuiltIn)
    if (vendorKey == row.vendorKey) prefixes = row.prefixes;
  Platform::Profile machine(kMachineProfile, Platform::Profile::Scope::Machine);
  for (const std::string& extra : machine.GetMultiString(kPackagesSection, vendorKey))
    if (!extra.empty()) prefixes.push_back(extra);  // an empty prefix would match every package
  return prefixes;
}

std::string VersionProbes::GetMiddlewareVersion(const std::string& prefix) const {
  std::string result;
  if (prefix.empty()) return result;
  ForEachPackage(statusPath_, [&](const Paragraph& p) {
    if (Installed(p.status) && p.package.compare(0, prefix.size(), prefix) == 0)
      result = UpstreamVersion(p.version);
  });
  return result;
}

std::string VersionProbes::VendorVersion(const std::string& vendorKey) const {
  for (const std::string& prefix : Prefixes(vendorKey)) {
    std::string version = GetMiddlewareVersion(prefix);
    if (!version.empty()) return version;
  }
  return {};
}

std::string VersionProbes::VendorInstallLocation(const std::string& vendorKey) const {
  const char* module = ModuleFileOf(vendorKey);
  return module ? LoadedModuleFolder(Platform::SharedLibraryFileName(module)) : std::string();
}

std::string LoadedModuleFolder(const std::string& fileName) {
  struct Search {
    const std::string* name;
    std::string folder;
  } search{&fileName, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        if (!info->dlpi_name || !*info->dlpi_name) return 0;
        std::string path = info->dlpi_name;
        size_t slash = path.rfind('/');
        std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        if (base != *s->name) return 0;
        s->folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
        return 1;
      },
      &search);
  return search.folder;
}

}  // namespace TvrServices
