// The certificate search service's JSON answer (a server's bytes, up to the size cap).
#include <string>

#include "CertificateSources.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > TvrServices::kMaxSearchAnswerBytes) return 0;  // dropped whole before parsing
  const std::string body(reinterpret_cast<const char*>(data), size);
  TvrServices::CandidateSet candidates;
  std::string errorText;
  TvrServices::ReadSearchAnswer(body, candidates, errorText);
  (void)TvrServices::MapCertificatesByThumbprint(candidates);
  return 0;
}
