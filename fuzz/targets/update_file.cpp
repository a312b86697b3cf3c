// The update file from the update server (text the server chooses): both parsers, the
// check of the download addresses that become links, and the comparison with the program's
// and the middleware's versions.
#include <cctype>
#include <string>

#include "CardTables.h"
#include "FuzzSupport.h"
#include "UpdateCheck.h"

namespace {

void RequireSafeLink(const std::string& url) {
  const std::string safe = TvrServices::SafeWebAddress(url);
  for (unsigned char c : safe) TvrFuzz::Require(c > 0x20 && c != 0x7F, "a link has no blank or control character");
  std::string scheme = safe.substr(0, safe.find("://"));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // Schemes compare without regard to case.
  TvrFuzz::Require(safe.empty() || scheme == "http" || scheme == "https",
                   "a link is an http or https address");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string version = "unset";
  std::string url = "unset";
  TvrServices::ParseVersionAndUrl(text, version, url);
  RequireSafeLink(url);
  for (const auto& [key, entry] : TvrServices::ParseUpdateFile(text)) RequireSafeLink(entry.downloadUrl);
  // Every middleware installed in an old version, so that each vendor's entry is compared.
  static const std::map<std::string, std::string> installed = [] {
    std::map<std::string, std::string> versions;
    for (const VendorModuleEntry& row : VendorModuleTable) versions[row.typeKey] = "1.0";
    return versions;
  }();
  for (const auto& update : TvrServices::NewerVersions(text, "1.6.3.0", installed)) {
    TvrFuzz::Require(update.downloadUrl == TvrServices::SafeWebAddress(update.downloadUrl),
                     "an announced link is a safe address or empty");
    RequireSafeLink(update.downloadUrl);
    (void)TvrServices::UpdateAnnouncementText(update);
  }
  return 0;
}
