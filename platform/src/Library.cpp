#include "platform/Library.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include "platform/LastError.h"
#include "platform/Process.h"

#ifndef TVR_MULTIARCH_PKCS11_DIR
#define TVR_MULTIARCH_PKCS11_DIR "/usr/lib/pkcs11"
#endif

namespace Platform {

namespace {
thread_local std::string t_loaderError;

bool EndsWith(const std::string& s, const std::string& suffix) {
  if (s.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    char a = s[s.size() - suffix.size() + i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != suffix[i]) return false;
  }
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

ModuleHandle Open(const std::string& path) {
  ::dlerror();
  return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

std::string DlErrorText() {
  const char* e = ::dlerror();
  return e ? e : "";
}
}  // namespace

std::string MultiarchPkcs11Directory() { return TVR_MULTIARCH_PKCS11_DIR; }

std::string SharedLibraryFileName(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  if (EndsWith(name, ".dll")) return "lib" + name.substr(0, name.size() - 4) + ".so";
  return name;
}

ModuleHandle LoadLibrary(const std::string& name) {
  t_loaderError.clear();
  if (name.empty()) {
    SetLastError(kErrorInvalidParameter);
    t_loaderError = "empty library name";
    return nullptr;
  }
  const std::string file = SharedLibraryFileName(name);
  if (file.find('/') != std::string::npos) {
    if (ModuleHandle h = Open(file)) return h;
    t_loaderError = DlErrorText();
    SetLastError(FileExists(file) ? kErrorBadExeFormat : kErrorModNotFound);
    return nullptr;
  }

  bool seen = false;
  std::string firstError;
  auto attempt = [&](const std::string& path, bool mustExist) -> ModuleHandle {
    if (mustExist && !FileExists(path)) return nullptr;
    if (ModuleHandle h = Open(path)) return h;
    std::string err = DlErrorText();
    // dlopen of a bare name reports "cannot open shared object file" when it finds nothing.
    bool notFound = !mustExist && err.find("No such file") != std::string::npos;
    if (!notFound) {
      seen = true;
      if (firstError.empty()) firstError = err;
    } else if (firstError.empty() && !seen) {
      firstError = err;
    }
    return nullptr;
  };

  if (ModuleHandle h = attempt(ExecutableDirectory() + "/" + file, true)) return h;
  if (ModuleHandle h = attempt(file, false)) return h;
  if (ModuleHandle h = attempt(MultiarchPkcs11Directory() + "/" + file, true)) return h;
  t_loaderError = firstError.empty() ? file + ": not found" : firstError;
  SetLastError(seen ? kErrorBadExeFormat : kErrorModNotFound);
  return nullptr;
}

void* GetProcAddress(ModuleHandle module, const char* symbol) {
  if (!module || !symbol) {
    SetLastError(kErrorInvalidHandle);
    t_loaderError = "no module";
    return nullptr;
  }
  ::dlerror();
  void* p = ::dlsym(module, symbol);
  if (!p) {
    t_loaderError = DlErrorText();
    SetLastError(kErrorProcNotFound);
  }
  return p;
}

bool FreeLibrary(ModuleHandle module) {
  if (!module) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  ::dlerror();
  if (::dlclose(module) != 0) {
    t_loaderError = DlErrorText();
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  return true;
}

std::string LastLoaderErrorText() { return t_loaderError; }

}  // namespace Platform
