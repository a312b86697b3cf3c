#include "platform/Profile.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <sys/stat.h>

#include "ProfileDocument.h"
#include "ProfileFile.h"
#include "platform/EventLog.h"
#include "platform/FileHelpers.h"
#include "platform/LastError.h"
#include "platform/Process.h"

namespace Platform {

ProfileValue ProfileValue::String(std::string s) {
  ProfileValue v; v.type = ValueType::String; v.text = std::move(s); return v;
}
ProfileValue ProfileValue::ExpandString(std::string s) {
  ProfileValue v; v.type = ValueType::ExpandString; v.text = std::move(s); return v;
}
ProfileValue ProfileValue::Dword(uint32_t d) {
  ProfileValue v; v.type = ValueType::Dword; v.dword = d; return v;
}
ProfileValue ProfileValue::MultiString(std::vector<std::string> s) {
  ProfileValue v; v.type = ValueType::MultiString; v.strings = std::move(s); return v;
}
ProfileValue ProfileValue::Binary(std::vector<uint8_t> b) {
  ProfileValue v; v.type = ValueType::Binary; v.bytes = std::move(b); return v;
}

namespace {

std::optional<ProfileValue> ReadFromFile(const std::string& path, const std::string& section,
                                         const std::string& name) {
  std::string text;
  int err = 0;
  if (ReadProfileFile(path, text, err) != ProfileRead::Read) return std::nullopt;
  ProfileDocument doc(text);
  const ProfileValue* v = doc.Find(section, name);
  if (!v) return std::nullopt;
  return *v;
}

std::mutex g_nameLock;
std::string g_applicationName;

bool ValidSectionName(const std::string& s) {
  return s.find_first_of("[]\n\r") == std::string::npos;
}

}  // namespace

Profile::Profile(std::string application, Scope scope)
    : application_(application.empty() ? ApplicationName() : std::move(application)),
      scope_(scope) {}

void Profile::SetApplicationName(const std::string& name) {
  std::lock_guard<std::mutex> lock(g_nameLock);
  g_applicationName = name;
}

std::string Profile::ApplicationName() {
  std::lock_guard<std::mutex> lock(g_nameLock);
  if (g_applicationName.empty()) g_applicationName = ExecutableBaseName();
  return g_applicationName;
}

std::string Profile::UserFilePath() const {
  return UserConfigDirectory() + "/Tavrenic/" + application_ + ".conf";
}

std::string Profile::MachineFilePath() const {
  const std::string name = "Tavrenic/" + application_ + ".conf";
  std::string path = FindSystemConfigFile(name);
  if (!path.empty()) return path;
  // No machine-wide profile: the one shipped with the program stands in for it.
  const std::string shipped = ShippedDefaultsDirectory();
  if (!shipped.empty()) {
    path = shipped + "/" + application_ + ".conf";
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) return path;
  }
  return SystemConfigDirectories().front() + "/" + name;
}

std::optional<ProfileValue> Profile::Read(const std::string& section, const std::string& name) const {
  if (scope_ != Scope::Machine) {
    if (auto v = ReadFromFile(UserFilePath(), section, name)) return v;
  }
  if (scope_ == Scope::User) return std::nullopt;
  const std::string machine = MachineFilePath();
  if (auto v = ReadFromFile(machine, section, name)) return v;
  // The shipped defaults stand below the administrator's file value by value, so that a
  // value new in a later version arrives although the edited file is kept.
  const std::string shipped = ShippedDefaultsDirectory();
  if (shipped.empty()) return std::nullopt;
  const std::string defaults = shipped + "/" + application_ + ".conf";
  if (defaults == machine) return std::nullopt;
  return ReadFromFile(defaults, section, name);
}

ValueType Profile::TypeOf(const std::string& section, const std::string& name) const {
  auto v = Read(section, name);
  return v ? v->type : ValueType::None;
}

std::string Profile::GetString(const std::string& section, const std::string& name,
                               const std::string& def) const {
  auto v = Read(section, name);
  return (v && v->type == ValueType::String) ? v->text : def;
}

uint32_t Profile::GetDword(const std::string& section, const std::string& name, uint32_t def) const {
  auto v = Read(section, name);
  return (v && v->type == ValueType::Dword) ? v->dword : def;
}

int Profile::GetInt(const std::string& section, const std::string& name, int def) const {
  return static_cast<int>(GetDword(section, name, static_cast<uint32_t>(def)));
}

std::vector<std::string> Profile::GetMultiString(const std::string& section,
                                                 const std::string& name) const {
  auto v = Read(section, name);
  return (v && v->type == ValueType::MultiString) ? v->strings : std::vector<std::string>{};
}

std::optional<std::vector<uint8_t>> Profile::GetBinary(const std::string& section,
                                                       const std::string& name) const {
  auto v = Read(section, name);
  if (v && v->type == ValueType::Binary) return v->bytes;
  return std::nullopt;
}

namespace {

const char kNewFileText[] = "; Tavrenic settings\n";

void ReportWriteFailure(const std::string& text, int err) {
  SetLastError(ErrorFromErrno(err));
  // Error entries are admitted at every level that writes anything.
  const uint32_t level = Profile().GetDword("", "EventLogLevel", 0);
  if (level < 1 || level > 3) return;
  std::string entry = text;
  if (auto system = SystemErrorText(ErrorFromErrno(err))) entry += "\r\n" + *system;
  ReportEvent(kEventError, entry);
}

// Read-modify-write of one profile file under its lock file. A file that is there but
// cannot be read fails the write: writing over it would drop what the user had.
template <typename Change>
bool Modify(const std::string& path, Change change) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  if (!MakeDirectories(dir, 0700)) {
    const int err = errno;
    ReportWriteFailure("Settings folder could not be created: " + dir, err);
    return false;
  }
  FileLock lock(path + ".lock");
  if (!lock.Locked()) {
    const int err = errno;
    ReportWriteFailure("Settings file could not be locked: " + path + ".lock", err);
    return false;
  }
  // The lock stays at the name every writer uses; the file written is the link's target.
  const std::string file = ProfileWriteTarget(path);
  RemoveStaleTempFiles(file);
  std::string text;
  int err = 0;
  switch (ReadProfileFile(file, text, err)) {
    case ProfileRead::Read: break;
    case ProfileRead::Missing: text = kNewFileText; break;
    case ProfileRead::Failed:
      ReportWriteFailure("Settings file could not be read, nothing was written: " + path, err);
      return false;
  }
  if (text.empty()) text = kNewFileText;
  ProfileDocument doc(text);
  if (!change(doc)) return true;  // nothing to change
  if (!ReplaceProfileFile(file, doc.Text(), 0600, err)) {
    ReportWriteFailure("Settings file could not be written: " + path, err);
    return false;
  }
  return true;
}

}  // namespace

bool Profile::Write(const std::string& section, const std::string& name, const ProfileValue& value) {
  if (scope_ == Scope::Machine || value.type == ValueType::None || !ValidSectionName(section))
    return false;
  return Modify(UserFilePath(), [&](ProfileDocument& doc) {
    doc.Set(section, name, value);
    return true;
  });
}

bool Profile::WriteString(const std::string& s, const std::string& n, const std::string& v) {
  return Write(s, n, ProfileValue::String(v));
}
bool Profile::WriteDword(const std::string& s, const std::string& n, uint32_t v) {
  return Write(s, n, ProfileValue::Dword(v));
}
bool Profile::WriteInt(const std::string& s, const std::string& n, int v) {
  return Write(s, n, ProfileValue::Dword(static_cast<uint32_t>(v)));
}
bool Profile::WriteMultiString(const std::string& s, const std::string& n,
                               const std::vector<std::string>& v) {
  return Write(s, n, ProfileValue::MultiString(v));
}
bool Profile::WriteBinary(const std::string& s, const std::string& n, const std::vector<uint8_t>& v) {
  return Write(s, n, ProfileValue::Binary(v));
}

bool Profile::Delete(const std::string& section, const std::string& name) {
  if (scope_ == Scope::Machine) return false;
  return Modify(UserFilePath(), [&](ProfileDocument& doc) { return doc.Remove(section, name); });
}

std::string ExpandEnvironmentStrings(const std::string& text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t open = text.find('%', pos);
    if (open == std::string::npos) break;
    size_t close = text.find('%', open + 1);
    if (close == std::string::npos) break;
    out.append(text, pos, open - pos);
    std::string name = text.substr(open + 1, close - open - 1);
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value) {
      out += value;
      pos = close + 1;
    } else {
      // Unknown names stay as written; the closing '%' may open the next name.
      out.append(text, open, close - open);
      pos = close;
    }
  }
  out.append(text, pos, std::string::npos);
  return out;
}

}  // namespace Platform
