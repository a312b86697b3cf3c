// The program's string table: every user text by a symbolic name, in Hungarian, or in
// English when the English resource set (libkelmardin_eng.so) has been loaded.
#pragma once

#include <string>

namespace Res {

enum class StringId : int {
#define TVR_NUMBERED(name, number, text) name = number,
#define TVR_STRING(name, text)
#include "StringList.inc"
#undef TVR_NUMBERED
#undef TVR_STRING
  FirstUnnumbered = 999,
#define TVR_NUMBERED(name, number, text)
#define TVR_STRING(name, text) name,
#include "StringList.inc"
#undef TVR_NUMBERED
#undef TVR_STRING
  EndOfTable
};

// The numbered strings, under the numbers other code knows them by.
inline constexpr StringId kString101 = StringId::AboutMenu;
inline constexpr StringId kString182 = StringId::AppDisplayName;
inline constexpr StringId kString240 = StringId::ModuleLoadError;
inline constexpr StringId kString243 = StringId::StoreViewerMenu;
inline constexpr StringId kString273 = StringId::SystemInfoMenu;

// The program's own (Hungarian) text; null for a value that names no string.
const char* HungarianText(StringId id);

// The text in the language of the loaded resources (UTF-8).
std::string Text(StringId id);

// The English resource set's file and its one export: the English text of a string id
// (an int, as StringId), or null for an id it does not know.
inline constexpr const char* kEnglishLibrary = "kelmardin_eng.dll";
inline constexpr const char* kEnglishTextExport = "KelmardinEnglishText";
using EnglishTextFn = const char* (*)(int id);

// Loads the English resource set: from the executable's folder, then by bare name
// through the dynamic loader. False, and the texts stay Hungarian, when neither loads.
bool LoadEnglishResources();
bool EnglishResourcesLoaded();
// Frees the English resource set; the texts are Hungarian again.
void UnloadEnglishResources();

// Every string id of the table, for checks over the whole table.
template <typename F>
void ForEachStringId(F&& f) {
#define TVR_NUMBERED(name, number, text) f(StringId::name);
#define TVR_STRING(name, text) f(StringId::name);
#include "StringList.inc"
#undef TVR_NUMBERED
#undef TVR_STRING
}

}  // namespace Res
