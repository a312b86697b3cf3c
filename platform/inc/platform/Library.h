// Run-time loading of shared libraries by their Windows-style names.
//
// "X.dll" is looked for as "libX.so": first in the executable's folder, then through the
// dynamic loader's own search (LD_LIBRARY_PATH, ld.so.cache, /usr/lib), then in the
// multiarch PKCS#11 folder. A name with a '/' is loaded as given. Failures set the
// thread's last error (Platform::GetLastError) and keep the loader's own text.
#pragma once

#include <string>

namespace Platform {

using ModuleHandle = void*;

// "gclib.dll" -> "libgclib.so"; names already in the Linux form stay as they are.
std::string SharedLibraryFileName(const std::string& name);

// Null on failure: last error 126 when no candidate file exists, 193 when one exists but
// does not load.
ModuleHandle LoadLibrary(const std::string& name);
// Null when the symbol is missing (last error 127).
void* GetProcAddress(ModuleHandle module, const char* symbol);
// False when the loader refuses (last error 6).
bool FreeLibrary(ModuleHandle module);
// The loader's text of this thread's last failed LoadLibrary/GetProcAddress/FreeLibrary.
std::string LastLoaderErrorText();

// Where LoadLibrary found or would look for a name, in search order (for reports).
std::string MultiarchPkcs11Directory();

}  // namespace Platform
