// A shared library loaded for the length of one scope, for helper libraries of card makers
// that the program looks up only when it needs them (and that may well be absent).
#pragma once

#include <string>

#include "platform/Library.h"

namespace Platform {

class ScopedLibrary {
 public:
  // Loads through the platform's library search ("x.dll" is looked for as "libx.so").
  explicit ScopedLibrary(const std::string& name) : module_(LoadLibrary(name)) {}
  ~ScopedLibrary() {
    if (module_) FreeLibrary(module_);
  }
  ScopedLibrary(const ScopedLibrary&) = delete;
  ScopedLibrary& operator=(const ScopedLibrary&) = delete;

  bool Loaded() const { return module_ != nullptr; }

  // The export as a function pointer of type Fn; null when the library or the export
  // is missing.
  template <typename Fn>
  Fn Find(const char* name) const {
    return module_ ? reinterpret_cast<Fn>(GetProcAddress(module_, name)) : nullptr;
  }

 private:
  ModuleHandle module_;
};

}  // namespace Platform
