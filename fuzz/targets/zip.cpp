// ZIP archives of certificates that users pick for a renewal: the archive is read from a
// file, as the program reads it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "CertificateSources.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One memory-backed file for the whole run, rewritten for each input.
  static const int fd = memfd_create("fuzz-zip", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
    std::perror("memfd");
    std::abort();
  }
  std::string errorText;
  const TvrServices::CandidateSet candidates = TvrServices::LoadCertificatesFromZip(path, errorText);
  (void)TvrServices::MapCertificatesByThumbprint(candidates);
  return 0;
}
