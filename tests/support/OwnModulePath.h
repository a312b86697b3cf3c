// For the test doubles loaded as shared objects: each names its configuration and log
// files after the file it was loaded from.
#pragma once

#include <dlfcn.h>
#include <limits.h>

#include <cstring>

namespace TvrTest {

// Writes the file name of the shared object holding `inside` to `path`; leaves it
// untouched when the loader cannot tell. Meant for the double's load-time constructor.
inline void StoreOwnModulePath(const void* inside, char (&path)[PATH_MAX]) {
  Dl_info info{};
  if (::dladdr(inside, &info) && info.dli_fname) std::strncpy(path, info.dli_fname, sizeof path - 1);
}

}  // namespace TvrTest
