#include "ProfileDocument.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace Platform {

namespace {

const char kByteOrderMark[] = "\xEF\xBB\xBF";

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

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r") == std::string::npos;
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

}  // namespace

ProfileDocument::ProfileDocument(const std::string& text) {
  sections_.push_back(std::string());
  size_t pos = 0;
  if (text.compare(0, std::strlen(kByteOrderMark), kByteOrderMark) == 0) {
    bom_ = kByteOrderMark;
    pos = bom_.size();
  }
  int current = kTopLevel;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    Line line;
    line.text = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    Classify(line, current);
    lines_.push_back(std::move(line));
    if (end == std::string::npos) {
      finalNewline_ = false;
      break;
    }
    pos = end + 1;
  }
}

std::string ProfileDocument::Text() const {
  std::string out = bom_;
  for (size_t i = 0; i < lines_.size(); ++i) {
    out += lines_[i].text;
    if (i + 1 < lines_.size() || finalNewline_) out += '\n';
  }
  return out;
}

// Lines that are not understood stay Other; they never change the current section,
// except a header that lacks its ']', after which values belong to no section.
void ProfileDocument::Classify(Line& line, int& current) {
  std::string content = line.text;
  if (!content.empty() && content.back() == '\r') content.pop_back();
  size_t start = content.find_first_not_of(" \t");
  if (start == std::string::npos || content[start] == ';' || content[start] == '#') return;
  if (content[start] == '[') {
    size_t close = content.rfind(']');
    if (close == std::string::npos) {
      line.kind = Kind::BrokenHeader;
      current = kNoSection;
      return;
    }
    std::string name = content.substr(start + 1, close - start - 1);
    int section = SectionIndex(name);
    if (section == kNoSection) section = AddSection(name);
    line.kind = Kind::Header;
    line.section = section;
    current = section;
    return;
  }
  if (current == kNoSection) return;
  size_t pos = start;
  std::string name;
  if (!Unquote(content, pos, name) || pos >= content.size() || content[pos] != '=') return;
  ProfileValue value;
  if (!ParseValue(content, pos + 1, value)) return;
  line.kind = Kind::Value;
  line.section = current;
  line.name = std::move(name);
  line.valueStart = pos + 1;
  line.value = std::move(value);
}

int ProfileDocument::SectionIndex(const std::string& name) const {
  for (size_t i = 0; i < sections_.size(); ++i)
    if (SameName(sections_[i], name)) return static_cast<int>(i);
  return kNoSection;
}

int ProfileDocument::AddSection(const std::string& name) {
  sections_.push_back(name);
  return static_cast<int>(sections_.size() - 1);
}

int ProfileDocument::LastValueLine(int section, const std::string& name) const {
  for (size_t i = lines_.size(); i-- > 0;) {
    const Line& line = lines_[i];
    if (line.kind == Kind::Value && line.section == section && SameName(line.name, name))
      return static_cast<int>(i);
  }
  return -1;
}

// A new value goes after the last value or header of its section, so into the
// section's last block. The application's own key, while it has neither, gets it at
// the end of the lines before the first header, ahead of the blank lines there.
size_t ProfileDocument::InsertionPoint(int section) const {
  for (size_t i = lines_.size(); i-- > 0;) {
    const Line& line = lines_[i];
    if ((line.kind == Kind::Value || line.kind == Kind::Header) && line.section == section)
      return i + 1;
  }
  size_t at = 0;
  while (at < lines_.size() && lines_[at].kind != Kind::Header &&
         lines_[at].kind != Kind::BrokenHeader)
    ++at;
  while (at > 0 && IsBlank(lines_[at - 1].text)) --at;
  return at;
}

void ProfileDocument::Insert(size_t at, const std::string& text, int section) {
  Line line;
  line.text = text;
  Classify(line, section);
  if (at == lines_.size()) finalNewline_ = true;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
}

std::vector<std::pair<std::string, std::string>> ProfileDocument::Names() const {
  std::vector<std::pair<std::string, std::string>> names;
  for (const Line& line : lines_) {
    if (line.kind == Kind::Value && line.section != kNoSection)
      names.emplace_back(sections_[static_cast<size_t>(line.section)], line.name);
  }
  return names;
}

const ProfileValue* ProfileDocument::Find(const std::string& section,
                                          const std::string& name) const {
  int s = SectionIndex(section);
  if (s == kNoSection) return nullptr;
  int i = LastValueLine(s, name);
  return i < 0 ? nullptr : &lines_[static_cast<size_t>(i)].value;
}

void ProfileDocument::Set(const std::string& section, const std::string& name,
                          const ProfileValue& value) {
  int s = SectionIndex(section);
  if (s != kNoSection) {
    int i = LastValueLine(s, name);
    if (i >= 0) {
      // Keep the line's indentation, the name as the user spelled it and its line end.
      Line& line = lines_[static_cast<size_t>(i)];
      bool cr = !line.text.empty() && line.text.back() == '\r';
      line.text = line.text.substr(0, line.valueStart) + FormatValue(value) + (cr ? "\r" : "");
      line.value = value;
      return;
    }
  }
  const std::string text = Quote(name) + "=" + FormatValue(value);
  if (s != kNoSection) {
    Insert(InsertionPoint(s), text, s);
    return;
  }
  if (!lines_.empty() && !IsBlank(lines_.back().text)) Insert(lines_.size(), "", kNoSection);
  Insert(lines_.size(), "[" + section + "]", kNoSection);
  Insert(lines_.size(), text, SectionIndex(section));
}

bool ProfileDocument::Remove(const std::string& section, const std::string& name) {
  int s = SectionIndex(section);
  if (s == kNoSection) return false;
  bool removed = false;
  for (int i = LastValueLine(s, name); i >= 0; i = LastValueLine(s, name)) {
    if (static_cast<size_t>(i) + 1 == lines_.size()) finalNewline_ = true;
    lines_.erase(lines_.begin() + i);
    removed = true;
  }
  return removed;
}

}  // namespace Platform
