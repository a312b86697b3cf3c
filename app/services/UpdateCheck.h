// The update check: the update file fetched from the update server, its parsers, and
// the comparison of the versions offered there with the program's own and with the
// installed middleware. No widgets; the main window shows what it finds.
#pragma once

#include "HttpClient.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace TvrServices {

inline constexpr const char* kUpdateFilePath = "/kelmardin/update.txt";
inline constexpr const char* kAboutUpdateFilePath = "/kelmardin/update_for_about_dlg.txt";
// The update file's entry of the program itself.
inline constexpr const char* kProgramUpdateKey = "Kelmardin";
// The profile value (string, the program's own key) that overrides the server address.
inline constexpr const char* kUpdateServerValue = "UpdateServer";
inline constexpr const char* kDefaultUpdateServer = "https://update.tavrenic.hu";

struct UpdateServer {
  std::string base;  // "https://host[:port][/folder]", without a trailing slash
  HttpOptions http;
};

// The configured server: the profile's "UpdateServer" when set, else the default.
UpdateServer ConfiguredUpdateServer();

struct UpdateEntry {
  std::string version;
  std::string downloadUrl;
};

struct PendingUpdate {
  std::string name;  // kProgramUpdateKey or a vendor key
  std::string downloadUrl;
  bool operator==(const PendingUpdate&) const = default;
};

// The file's text (UTF-8), empty on any failure: a server address that is not https
// (a warning event says so), no 200, a content type other than exactly "text/plain", a
// transfer that broke off (a warning event names the error), or a body that is not
// valid UTF-8.
std::string HttpGetText(const UpdateServer& server, const std::string& objectPath);

// The program's keys only; outputs that no line sets keep their contents.
void ParseVersionAndUrl(const std::string& text, std::string& version, std::string& url);
// Every key: the program's under kProgramUpdateKey, each vendor's under its key.
std::map<std::string, UpdateEntry> ParseUpdateFile(const std::string& text);

// `url` when it is an http or https address without blanks or control characters,
// else the empty text: an address from the server becomes a link the user clicks.
std::string SafeWebAddress(const std::string& url);

// The announcements the file's text makes for the own version and the installed
// middleware (vendor key -> version, empty when not installed), in vendor-table order.
std::vector<PendingUpdate> NewerVersions(const std::string& text, const std::string& ownVersion,
                                         const std::map<std::string, std::string>& installed);

// The pop-up's message line for an announcement, in the interface language.
std::string UpdateAnnouncementText(const PendingUpdate& update);

// The installed middleware versions by vendor key, from the version probes.
std::map<std::string, std::string> InstalledMiddleware();

// The announcements still to show; the first one is being shown. Shared by the update
// check's worker and the interface thread.
class PendingUpdates {
 public:
  // Appends those not already pending; true when the list is then not empty.
  bool Append(const std::vector<PendingUpdate>& updates);
  std::optional<PendingUpdate> First() const;
  // Drops the first one; true when others remain.
  bool PopFirst();
  bool Empty() const;
  std::vector<PendingUpdate> All() const;

 private:
  mutable std::mutex mutex_;
  std::vector<PendingUpdate> list_;
};

// One daily check: fetches the file and appends what is newer. True when the list
// holds announcements afterwards (also from an earlier day).
bool RunUpdateCheck(const UpdateServer& server, PendingUpdates& pending,
                    const std::map<std::string, std::string>& installed, const std::string& ownVersion);

}  // namespace TvrServices
