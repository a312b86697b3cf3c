// The properties files of the folder certificate stores (users' own folders, so anyone
// who can write there can shape them): what parses, written again, parses to the same.
#include <string>

#include "CertStoreBackend.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto properties = Platform::ParseProperties(text);
  if (!properties) return 0;
  const auto again = Platform::ParseProperties(Platform::SerializeProperties(*properties));
  TvrFuzz::Require(again && *again == *properties, "properties round trip");
  return 0;
}
