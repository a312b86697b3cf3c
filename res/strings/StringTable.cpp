#include "Strings.h"

#include <atomic>
#include <mutex>

#include "platform/Library.h"

namespace Res {

namespace {

std::mutex gLock;
Platform::ModuleHandle gEnglish = nullptr;
std::atomic<EnglishTextFn> gEnglishText{nullptr};

}  // namespace

const char* HungarianText(StringId id) {
  switch (id) {
#define TVR_NUMBERED(name, number, text) \
  case StringId::name:                   \
    return text;
#define TVR_STRING(name, text) \
  case StringId::name:         \
    return text;
#include "StringList.inc"
#undef TVR_NUMBERED
#undef TVR_STRING
    case StringId::FirstUnnumbered:
    case StringId::EndOfTable:
      break;
  }
  return nullptr;
}

std::string Text(StringId id) {
  if (const EnglishTextFn english = gEnglishText.load()) {
    if (const char* text = english(static_cast<int>(id))) return text;
  }
  const char* text = HungarianText(id);
  return text ? text : std::string();
}

bool LoadEnglishResources() {
  std::lock_guard<std::mutex> hold(gLock);
  if (gEnglish) return true;
  // The platform loader looks in the executable's folder first, then by bare name.
  Platform::ModuleHandle module = Platform::LoadLibrary(kEnglishLibrary);
  if (!module) return false;
  auto fn = reinterpret_cast<EnglishTextFn>(Platform::GetProcAddress(module, kEnglishTextExport));
  if (!fn) {
    Platform::FreeLibrary(module);
    return false;
  }
  gEnglish = module;
  gEnglishText.store(fn);
  return true;
}

bool EnglishResourcesLoaded() { return gEnglishText.load() != nullptr; }

void UnloadEnglishResources() {
  std::lock_guard<std::mutex> hold(gLock);
  if (!gEnglish) return;
  gEnglishText.store(nullptr);
  Platform::FreeLibrary(gEnglish);
  gEnglish = nullptr;
}

}  // namespace Res
