// The settings profile, a file users edit by hand: it is written back as it was read, and
// after writes every value that was read reads again the same, under the section it was
// read from.
#include <string>
#include <strings.h>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "ProfileDocument.h"

namespace {

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

struct Written {
  std::string section;
  std::string name;
  Platform::ProfileValue value;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Platform::ProfileDocument document(text);
  TvrFuzz::Require(document.Text() == text, "an untouched profile is written back unchanged");

  std::vector<Written> read;
  for (const auto& [section, name] : document.Names()) {
    const Platform::ProfileValue* value = document.Find(section, name);
    TvrFuzz::Require(value != nullptr, "a value line is found by its name");
    read.push_back({section, name, *value});
  }

  // An unrelated write, a new value in the top level and in each section the file has,
  // and one value set to what it already holds: what the program does when it saves its
  // settings.
  std::vector<Written> writes{{"FuzzOther", "X", Platform::ProfileValue::Dword(1)},
                              {"", "FuzzNew", Platform::ProfileValue::String("top")}};
  for (const Written& r : read) {
    bool seen = false;
    for (const Written& w : writes) seen = seen || SameName(w.section, r.section);
    if (!seen && writes.size() < 10)
      writes.push_back({r.section, "FuzzNew", Platform::ProfileValue::String(r.section)});
  }
  if (!read.empty()) writes.push_back(read.back());
  for (const Written& w : writes) document.Set(w.section, w.name, w.value);

  const Platform::ProfileDocument again(document.Text());
  for (size_t i = 0; i < writes.size(); ++i) {
    const Written& w = writes[i];
    bool rewritten = false;  // a later write of the same value counts
    for (size_t j = i + 1; j < writes.size(); ++j)
      rewritten = rewritten || (SameName(writes[j].section, w.section) && SameName(writes[j].name, w.name));
    if (rewritten) continue;
    const Platform::ProfileValue* value = again.Find(w.section, w.name);
    TvrFuzz::Require(value && *value == w.value, "a written value reads back");
  }
  for (const Written& r : read) {
    bool overwritten = false;
    for (const Written& w : writes)
      overwritten = overwritten || (SameName(w.section, r.section) && SameName(w.name, r.name));
    if (overwritten) continue;
    const Platform::ProfileValue* value = again.Find(r.section, r.name);
    TvrFuzz::Require(value && *value == r.value,
                     "a value read before the writes reads again the same");
  }
  return 0;
}
