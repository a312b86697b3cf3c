// Certificates of one card key and its renewals, for the search-source tests.
#pragma once

#include "TestPki.h"

#include <openssl/evp.h>

#include <ctime>
#include <memory>
#include <string>

struct SearchTestCertificates {
  struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  };

  std::time_t now = std::time(nullptr);
  std::unique_ptr<EVP_PKEY, KeyFree> cardKey{TvrTest::CertBuilder::NewKey("ec")};
  TvrTest::PkiItem old = Issue("Old", now - 10 * 86400, cardKey.get());
  TvrTest::PkiItem renewal = Issue("Renewal", now - 86400, cardKey.get());
  TvrTest::PkiItem stranger = Issue("Stranger", now - 86400, nullptr);

  // Issued by the test intermediate for the given key (null: a fresh one).
  static TvrTest::PkiItem Issue(const std::string& cn, std::time_t notBefore, EVP_PKEY* key,
                                std::time_t notAfter = 0) {
    TvrTest::CertSpec spec;
    spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
    spec.notBefore = notBefore;
    spec.notAfter = notAfter;
    spec.extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"}};
    return TvrTest::CertBuilder::Issue(spec, &TvrTest::TestPki::Get().Intermediate(), key);
  }
};
