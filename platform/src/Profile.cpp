#include "platform/Profile.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

#include "platform/FileHelpers.h"
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

// ---- the file format --------------------------------------------------------------
// Values before the first [section] line belong to the application's own key.
//   "Name"="text"              string
//   "Name"=expand:"text"       expandable string
//   "Name"=dword:0000000a      32-bit integer
//   "Name"=multi:"a","b"       multi-string
//   "Name"=hex:0a,ff           binary
// Quoted texts use \\ \" \n \r \t and \xHH escapes.

struct Entry {
  std::string name;
  ProfileValue value;
};
struct Section {
  std::string name;
  std::vector<Entry> entries;
};
using Document = std::vector<Section>;

// Registry names compare without regard to ASCII case.
bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x < 0x80) x = static_cast<unsigned char>(std::tolower(x));
    if (y < 0x80) y = static_cast<unsigned char>(std::tolower(y));
    if (x != y) return false;
  }
  return true;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[5];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted text at line[pos]; advances pos past the closing quote.
bool Unquote(const std::string& line, size_t& pos, std::string& out) {
  if (pos >= line.size() || line[pos] != '"') return false;
  ++pos;
  out.clear();
  while (pos < line.size()) {
    char c = line[pos++];
    if (c == '"') return true;
    if (c != '\\') { out += c; continue; }
    if (pos >= line.size()) return false;
    char e = line[pos++];
    switch (e) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x': {
        if (pos + 2 > line.size()) return false;
        int hi = HexDigit(line[pos]), lo = HexDigit(line[pos + 1]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        pos += 2;
        break;
      }
      default: return false;
    }
  }
  return false;
}

bool StartsWith(const std::string& s, size_t pos, const char* prefix) {
  return s.compare(pos, std::strlen(prefix), prefix) == 0;
}

bool ParseValue(const std::string& line, size_t pos, ProfileValue& v) {
  if (pos < line.size() && line[pos] == '"') {
    std::string t;
    if (!Unquote(line, pos, t) || pos != line.size()) return false;
    v = ProfileValue::String(std::move(t));
    return true;
  }
  if (StartsWith(line, pos, "expand:")) {
    pos += 7;
    std::string t;
    if (!Unquote(line, pos, t) || pos != line.size()) return false;
    v = ProfileValue::ExpandString(std::move(t));
    return true;
  }
  if (StartsWith(line, pos, "dword:")) {
    std::string digits = line.substr(pos + 6);
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t d = 0;
    for (char c : digits) {
      int h = HexDigit(c);
      if (h < 0) return false;
      d = d * 16 + static_cast<uint32_t>(h);
    }
    v = ProfileValue::Dword(d);
    return true;
  }
  if (StartsWith(line, pos, "multi:")) {
    pos += 6;
    std::vector<std::string> items;
    while (pos < line.size()) {
      std::string t;
      if (!Unquote(line, pos, t)) return false;
      items.push_back(std::move(t));
      if (pos == line.size()) break;
      if (line[pos] != ',') return false;
      ++pos;
    }
    v = ProfileValue::MultiString(std::move(items));
    return true;
  }
  if (StartsWith(line, pos, "hex:")) {
    pos += 4;
    std::vector<uint8_t> bytes;
    while (pos < line.size()) {
      if (pos + 2 > line.size()) return false;
      int hi = HexDigit(line[pos]), lo = HexDigit(line[pos + 1]);
      if (hi < 0 || lo < 0) return false;
      bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
      pos += 2;
      if (pos == line.size()) break;
      if (line[pos] != ',') return false;
      ++pos;
    }
    v = ProfileValue::Binary(std::move(bytes));
    return true;
  }
  return false;
}

std::string FormatValue(const ProfileValue& v) {
  char buf[16];
  switch (v.type) {
    case ValueType::String: return Quote(v.text);
    case ValueType::ExpandString: return "expand:" + Quote(v.text);
    case ValueType::Dword:
      std::snprintf(buf, sizeof buf, "dword:%08x", v.dword);
      return buf;
    case ValueType::MultiString: {
      std::string out = "multi:";
      for (size_t i = 0; i < v.strings.size(); ++i) {
        if (i) out += ',';
        out += Quote(v.strings[i]);
      }
      return out;
    }
    case ValueType::Binary: {
      std::string out = "hex:";
      for (size_t i = 0; i < v.bytes.size(); ++i) {
        if (i) out += ',';
        std::snprintf(buf, sizeof buf, "%02x", v.bytes[i]);
        out += buf;
      }
      return out;
    }
    case ValueType::None: break;
  }
  return {};
}

// Malformed lines are skipped: a hand-edited file must never stop the program.
Document Parse(const std::string& text) {
  Document doc;
  doc.push_back(Section{});
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == ';' || line[start] == '#') continue;
    line.erase(0, start);
    if (line[0] == '[') {
      size_t close = line.rfind(']');
      if (close == std::string::npos) continue;
      std::string name = line.substr(1, close - 1);
      Section* found = nullptr;
      for (auto& s : doc)
        if (SameName(s.name, name)) found = &s;
      if (!found) {
        doc.push_back(Section{name, {}});
        found = &doc.back();
      }
      // Later entries go to this section: move it to the end so appends land in it.
      Section moved = std::move(*found);
      doc.erase(doc.begin() + (found - doc.data()));
      doc.push_back(std::move(moved));
      continue;
    }
    size_t pos = 0;
    std::string name;
    if (!Unquote(line, pos, name) || pos >= line.size() || line[pos] != '=') continue;
    ProfileValue v;
    if (!ParseValue(line, pos + 1, v)) continue;
    auto& entries = doc.back().entries;
    bool replaced = false;
    for (auto& e : entries)
      if (SameName(e.name, name)) { e.value = v; replaced = true; }
    if (!replaced) entries.push_back(Entry{name, std::move(v)});
  }
  return doc;
}

std::string Serialize(const Document& doc) {
  std::string out = "; Tavrenic settings\n";
  for (const auto& s : doc) {
    if (!s.name.empty()) {
      if (s.entries.empty()) continue;
      out += "\n[" + s.name + "]\n";
    }
    for (const auto& e : s.entries) out += Quote(e.name) + "=" + FormatValue(e.value) + "\n";
  }
  return out;
}

const ProfileValue* Find(const Document& doc, const std::string& section, const std::string& name) {
  for (const auto& s : doc) {
    if (!SameName(s.name, section)) continue;
    for (const auto& e : s.entries)
      if (SameName(e.name, name)) return &e.value;
  }
  return nullptr;
}

std::optional<ProfileValue> ReadFromFile(const std::string& path, const std::string& section,
                                         const std::string& name) {
  std::string text;
  if (!ReadWholeFile(path, text)) return std::nullopt;
  Document doc = Parse(text);
  const ProfileValue* v = Find(doc, section, name);
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
  return SystemConfigDirectory() + "/Tavrenic/" + application_ + ".conf";
}

std::optional<ProfileValue> Profile::Read(const std::string& section, const std::string& name) const {
  if (scope_ != Scope::Machine) {
    if (auto v = ReadFromFile(UserFilePath(), section, name)) return v;
  }
  if (scope_ != Scope::User) return ReadFromFile(MachineFilePath(), section, name);
  return std::nullopt;
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

// Read-modify-write of one profile file under its lock file.
template <typename Change>
bool Modify(const std::string& path, Change change) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  if (!MakeDirectories(dir, 0700)) return false;
  FileLock lock(path + ".lock");
  if (!lock.Locked()) return false;
  std::string text;
  ReadWholeFile(path, text);  // a missing file is an empty profile
  Document doc = Parse(text);
  if (!change(doc)) return true;  // nothing to change
  return WriteFileAtomically(path, Serialize(doc), 0600);
}

}  // namespace

bool Profile::Write(const std::string& section, const std::string& name, const ProfileValue& value) {
  if (scope_ == Scope::Machine || value.type == ValueType::None || !ValidSectionName(section))
    return false;
  return Modify(UserFilePath(), [&](Document& doc) {
    Section* target = nullptr;
    for (auto& s : doc)
      if (SameName(s.name, section)) target = &s;
    if (!target) {
      doc.push_back(Section{section, {}});
      target = &doc.back();
    }
    for (auto& e : target->entries)
      if (SameName(e.name, name)) { e.value = value; return true; }
    target->entries.push_back(Entry{name, value});
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
  return Modify(UserFilePath(), [&](Document& doc) {
    for (auto& s : doc) {
      if (!SameName(s.name, section)) continue;
      for (auto it = s.entries.begin(); it != s.entries.end(); ++it) {
        if (SameName(it->name, name)) {
          s.entries.erase(it);
          return true;
        }
      }
    }
    return false;
  });
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
