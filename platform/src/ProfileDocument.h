// The text of one profile file, line by line, as the user left it.
//
// Users edit these files by hand, so a write changes only what it must: the line of the
// value it sets (or one new line in that value's section) and nothing else. Comments,
// blank lines, a byte-order mark, line ends and lines this format does not understand
// are written back as they were, where they were.
//
// The format:
//   "Name"="text"              string
//   "Name"=expand:"text"       expandable string
//   "Name"=dword:0000000a      32-bit integer
//   "Name"=multi:"a","b"       multi-string
//   "Name"=hex:0a,ff           binary
//   [Section]                  later values belong to this section
//   []                         later values belong to the application's own key again
// Values before the first header belong to the application's own key. A header without
// its closing ']' names no section: the values under it, up to the next header, belong
// to none and are only carried along. Lines starting with ';' or '#' are comments.
// Quoted texts use \\ \" \n \r \t and \xHH escapes. Section and value names compare
// without regard to ASCII case; of two values of the same name, the later one counts.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/Profile.h"

namespace Platform {

class ProfileDocument {
 public:
  explicit ProfileDocument(const std::string& text);

  std::string Text() const;

  const ProfileValue* Find(const std::string& section, const std::string& name) const;
  void Set(const std::string& section, const std::string& name, const ProfileValue& value);
  // Removes every line of the value; false when there was none.
  bool Remove(const std::string& section, const std::string& name);
  // (section, name) of every value line that belongs to a section, in file order.
  std::vector<std::pair<std::string, std::string>> Names() const;

 private:
  static constexpr int kNoSection = -1;
  static constexpr int kTopLevel = 0;

  enum class Kind { Other, Header, BrokenHeader, Value };
  struct Line {
    std::string text;     // as written, without its '\n' (a '\r' before it stays here)
    Kind kind = Kind::Other;
    int section = kNoSection;  // Header, Value: the section's index in sections_
    std::string name;          // Value
    size_t valueStart = 0;     // Value: where the text after '=' begins
    ProfileValue value;        // Value
  };

  void Classify(Line& line, int& current);
  int SectionIndex(const std::string& name) const;  // kNoSection when absent
  int AddSection(const std::string& name);
  int LastValueLine(int section, const std::string& name) const;
  size_t InsertionPoint(int section) const;
  // Adds a line, read as if it stood in the given section.
  void Insert(size_t at, const std::string& text, int section);

  std::string bom_;
  std::vector<Line> lines_;
  bool finalNewline_ = true;
  std::vector<std::string> sections_;  // [0] is the application's own key ("")
};

}  // namespace Platform
