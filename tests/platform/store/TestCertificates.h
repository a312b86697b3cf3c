// Certificates made in-process for the store tests: one EC key signs them all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace StoreTest {

struct CertSpec {
  std::vector<std::pair<std::string, std::string>> subject{{"CN", "Store Test"}};  // in order
  std::vector<std::pair<std::string, std::string>> issuer{};  // empty: the subject
  long notBeforeSeconds = -86400;                 // from now
  long notAfterSeconds = 365L * 86400;            // from now
  std::optional<std::string> keyUsage{};          // e.g. "keyEncipherment,dataEncipherment"
  std::vector<std::string> altNameEmails{};
  long serial = 1;
};

std::vector<uint8_t> MakeCertificateDer(const CertSpec& spec);
// A distinct valid certificate per serial, subject CN "<prefix> <serial>".
std::vector<uint8_t> MakeNumberedCertificate(const std::string& prefix, long serial);
std::string ToPem(const std::vector<uint8_t>& der);

}  // namespace StoreTest
