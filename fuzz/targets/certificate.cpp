// Certificates from cards, stores, files users pick and servers (DER, PEM or Base64 of
// either): every reader of the parsed certificate, its description and QC statements.
#include <memory>
#include <string>

#include "DERBytes.h"
#include "Date.h"
#include "ErrCodeException.h"
#include "FuzzSupport.h"
#include "ReadingWriter.h"
#include "QCSummary.h"
#include "X509Certificate.h"
#include "X509Extension.h"

namespace {

void ReadEverything(const TvrX509::X509Certificate& certificate) {
  (void)certificate.GetSubjectDN();
  (void)certificate.GetIssuerDN();
  (void)certificate.GetSubjectCN();
  (void)certificate.GetIssuerCN();
  (void)certificate.GetSubject();
  (void)certificate.GetIssuer();
  (void)certificate.GetDNAttribute("commonName", 0);
  (void)certificate.GetDNAttribute("organizationName", 1);
  (void)certificate.GetEmail();
  (void)certificate.GetSubjectAltName();
  (void)certificate.GetSerialNumber();
  const TvrCommon::Date now = TvrCommon::Date::Now();
  (void)certificate.IsValidAt(now, 300);
  std::unique_ptr<TvrCommon::Date> from;
  std::unique_ptr<TvrCommon::Date> to;
  (void)certificate.GetPrivateKeyUsagePeriod(from, to);
  (void)certificate.GetSubjectKeyIdentifierHex();
  (void)certificate.GetAuthorityKeyIdentifierHex();
  (void)certificate.GetBase64();
  (void)certificate.GetThumbprint();
  (void)certificate.GetPublicKeyBytes();
  (void)certificate.GetIssuerNameHash();
  (void)certificate.GetSignatureAlgorithm();
  (void)certificate.GetSignatureKeyDescription();
  (void)certificate.CheckKeyUsageConsistency();
  for (int purpose : {1, 2, 4, 8, 16}) (void)certificate.CheckKeyUsage(purpose, true, false);
  (void)certificate.GetCAIssuerURLs();
  (void)certificate.GetOCSPUrls();
  (void)certificate.IsSelfIssuedCA();
  for (const char* oid : {"2.5.29.15", "2.5.29.37", "2.5.29.17", "2.5.29.19", "2.5.29.31",
                          "2.5.29.32", "1.3.6.1.5.5.7.1.1", "1.3.6.1.5.5.7.1.3", "2.5.29.16"}) {
    try {
      (void)certificate.GetExtension(oid);
    } catch (const TvrCommon::ErrCodeException&) {
    }
  }
  (void)certificate.GetQCSummary();
  TvrFuzz::ReadingWriter writer;
  certificate.DumpProperties(writer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const TvrX509::X509Certificate certificate(data, static_cast<int>(size));
    // The signature digest throws for an algorithm without a digest OpenSSL knows.
    try {
      (void)certificate.GetSignatureDigestAlgorithm();
    } catch (const TvrCommon::ErrCodeException&) {
    }
    ReadEverything(certificate);
    // What was read is written back as DER that reads as the same certificate.
    const auto der = certificate.GetDER();
    const TvrX509::X509Certificate again(*der);
    TvrFuzz::Require(again == certificate, "DER round trip");
  } catch (const TvrCommon::ErrCodeException&) {
  }
  return 0;
}
