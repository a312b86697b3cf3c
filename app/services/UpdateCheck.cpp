#include "UpdateCheck.h"

#include "CardTables.h"
#include "EventLog.h"
#include "SharedUtilities.h"
#include "Strings.h"
#include "VersionProbes.h"
#include "platform/Profile.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace TvrServices {

namespace {

constexpr size_t kMaxErrorText = 4096;

bool StartsWith(const std::string& line, const std::string& key) { return line.compare(0, key.size(), key) == 0; }

// The value after the key and the one character that follows it. A line that ends at the
// key (a bare "Version:") has no value.
std::string Tail(const std::string& line, size_t from) { return from < line.size() ? line.substr(from) : std::string(); }

std::string WithoutCr(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

template <typename Visit>
void ForEachLine(const std::string& text, Visit visit) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) visit(text.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

UpdateServer ConfiguredUpdateServer() {
  UpdateServer server;
  server.base = Platform::Profile().GetString("", kUpdateServerValue, kDefaultUpdateServer);
  while (!server.base.empty() && server.base.back() == '/') server.base.pop_back();
  return server;
}

std::string HttpGetText(const UpdateServer& server, const std::string& objectPath) {
  // The file decides which download links the user is shown: only a server that proves
  // its name may give it.
  if (server.base.size() < 8 || strncasecmp(server.base.c_str(), "https://", 8) != 0) {
    LogEvent(EVENTLOG_WARNING_TYPE, "Update application error: the update server is not an https address: " +
                                        server.base.substr(0, kMaxErrorText));
    return {};
  }
  HttpOptions options = server.http;
  options.contentType = "text/plain";
  HttpResponse response = HttpExchange(false, server.base + objectPath, nullptr, options);
  if (response.transportError != 0) {
    // Whatever arrived before the error is not used: a cut file could announce a wrong
    // version.
    LogEvent(EVENTLOG_WARNING_TYPE, "Update application error: " + response.errorMessage.substr(0, kMaxErrorText));
    return {};
  }
  if (response.status != 200 || response.contentType != std::optional<std::string>("text/plain")) return {};
  try {
    Utf8ToWide(response.body);
  } catch (const std::range_error&) {
    return {};  // not UTF-8: no update today
  }
  return response.body;
}

void ParseVersionAndUrl(const std::string& text, std::string& version, std::string& url) {
  ForEachLine(text, [&](const std::string& line) {
    if (StartsWith(line, "Version:")) version = Tail(line, 9);
    else if (StartsWith(line, "DownloadURL:")) url = Tail(line, 13);
  });
  version = WithoutCr(version);
  url = WithoutCr(url);
}

std::map<std::string, UpdateEntry> ParseUpdateFile(const std::string& text) {
  std::map<std::string, UpdateEntry> entries;
  ForEachLine(text, [&](const std::string& line) {
    if (StartsWith(line, "Version:")) {
      entries[kProgramUpdateKey] = {WithoutCr(Tail(line, 9)), {}};
      return;
    }
    if (StartsWith(line, "DownloadURL:")) {
      entries[kProgramUpdateKey].downloadUrl = WithoutCr(Tail(line, 13));
      return;
    }
    for (const VendorModuleEntry& row : VendorModuleTable) {
      const std::string prefix = std::string(row.vendorName) + " ";
      if (StartsWith(line, prefix + "Version:"))
        entries[row.vendorName] = {WithoutCr(Tail(line, prefix.size() + 9)), {}};
      else if (StartsWith(line, prefix + "DownloadURL:"))
        entries[row.vendorName].downloadUrl = WithoutCr(Tail(line, prefix.size() + 13));
    }
  });
  return entries;
}

std::string SafeWebAddress(const std::string& url) {
  std::string scheme;
  size_t colon = url.find(':');
  if (colon == std::string::npos) return {};
  for (char c : url.substr(0, colon)) scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme != "http" && scheme != "https") return {};
  if (url.compare(colon, 3, "://") != 0 || url.size() <= colon + 3) return {};
  for (unsigned char c : url)
    if (c <= ' ' || c == 0x7f) return {};
  return url;
}

std::vector<PendingUpdate> NewerVersions(const std::string& text, const std::string& ownVersion,
                                         const std::map<std::string, std::string>& installed) {
  std::vector<PendingUpdate> found;
  std::map<std::string, UpdateEntry> entries = ParseUpdateFile(text);
  const UpdateEntry& program = entries[kProgramUpdateKey];
  if (VersionNumber(ownVersion) < VersionNumber(program.version))
    found.push_back({kProgramUpdateKey, SafeWebAddress(program.downloadUrl)});
  for (const VendorModuleEntry& row : VendorModuleTable) {
    auto have = installed.find(row.typeKey);
    if (have == installed.end() || have->second.empty()) continue;
    auto offered = entries.find(row.vendorName);
    if (offered == entries.end() || offered->second.version.empty()) continue;
    if (VersionNumber(have->second) < VersionNumber(offered->second.version))
      found.push_back({row.typeKey, SafeWebAddress(offered->second.downloadUrl)});
  }
  return found;
}

std::string UpdateAnnouncementText(const PendingUpdate& update) {
  bool program = update.name == kProgramUpdateKey;
  std::string text = Res::Text(program ? Res::StringId::UpdateProgramAvailable : Res::StringId::UpdateDriverAvailable);
  size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, program ? Res::Text(Res::StringId::AppDisplayName) : update.name);
  return text;
}

std::map<std::string, std::string> InstalledMiddleware() {
  VersionProbes probes;
  return {{"Bit4ID", probes.GetBit4idMiddlewareVersion()},
          {"Gemalto", probes.GetClassicClientVersion()},
          {"Gemalto2", probes.GetSafeNetClientVersion()},
          {"Oberthur", probes.GetAuthentICWebpackVersion()}};
}

bool PendingUpdates::Append(const std::vector<PendingUpdate>& updates) {
  std::lock_guard<std::mutex> lock(mutex_);
  // An announcement still waiting from an earlier day is not queued twice.
  for (const PendingUpdate& update : updates)
    if (std::find(list_.begin(), list_.end(), update) == list_.end()) list_.push_back(update);
  return !list_.empty();
}

std::optional<PendingUpdate> PendingUpdates::First() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (list_.empty()) return std::nullopt;
  return list_.front();
}

bool PendingUpdates::PopFirst() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!list_.empty()) list_.erase(list_.begin());
  return !list_.empty();
}

bool PendingUpdates::Empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return list_.empty();
}

std::vector<PendingUpdate> PendingUpdates::All() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return list_;
}

bool RunUpdateCheck(const UpdateServer& server, PendingUpdates& pending,
                    const std::map<std::string, std::string>& installed, const std::string& ownVersion) {
  std::string text = HttpGetText(server, kUpdateFilePath);
  if (!text.empty()) pending.Append(NewerVersions(text, ownVersion, installed));
  return !pending.Empty();
}

}  // namespace TvrServices
