// Puts test-PKI certificates on a SoftHSM2 token the way a Gemalto card holds them: the
// certificate, its key (not for CA certificates) and the container record naming the key.
#pragma once

#include <gtest/gtest.h>

#include <openssl/x509v3.h>

#include <fstream>
#include <string>
#include <vector>

#include "P11Rig.h"
#include "TestPki.h"

namespace UiTest {

inline void RunTool(const std::vector<std::string>& argv) {
  std::string output;
  ASSERT_EQ(TvrTest::RunCommand(argv, &output), 0) << output;
}

// Writes item under CKA_ID id (two hex digits) to the token; files go to folder.
inline void WriteCardObject(const std::string& folder, const std::string& tokenLabel,
                            const TvrTest::PkiItem& item, const std::string& id) {
  const std::string base = folder + "/" + tokenLabel + id;
  std::vector<unsigned char> der = item.Der();
  std::ofstream(base + ".der", std::ios::binary)
      .write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
  RunTool({TVR_PKCS11_TOOL, "--module", TVR_SOFTHSM2_MODULE, "--token-label", tokenLabel, "--login", "--pin",
           "1234", "--write-object", base + ".der", "--type", "cert", "--id", id, "--label", "cert" + id});
  if (X509_check_ca(item.Cert()) == 1) return;
  std::ofstream(base + ".key.pem") << item.KeyPem();
  RunTool({TVR_SOFTHSM2_UTIL, "--import", base + ".key.pem", "--token", tokenLabel, "--id", id, "--label",
           "key" + id, "--pin", "1234"});
  // Container record: tag 01 the key's id, tag 02 the key spec (1: exchange).
  const char descriptor[] = {0x01, 0x01, static_cast<char>(std::stoi(id, nullptr, 16)), 0x02, 0x01, 0x01};
  std::ofstream(base + ".csp", std::ios::binary).write(descriptor, sizeof descriptor);
  RunTool({TVR_PKCS11_TOOL, "--module", TVR_SOFTHSM2_MODULE, "--token-label", tokenLabel, "--login", "--pin",
           "1234", "--write-object", base + ".csp", "--type", "data", "--application-label", "CSP", "--label",
           "container" + id});
}

// An encryption-only end entity of the test PKI (registered without a revocation check).
inline TvrTest::PkiItem EncryptionLeaf(const std::string& commonName) {
  TvrTest::CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + commonName;
  spec.keyType = "rsa";
  spec.extensions = {{"keyUsage", "critical,keyEncipherment"}};
  return TvrTest::CertBuilder::Issue(spec, &TvrTest::TestPki::Get().Intermediate());
}

}  // namespace UiTest
