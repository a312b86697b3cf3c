// Extension values of certificates and CRLs, read through the typed class their OID picks.
#include <memory>
#include <string>

#include "AuthInfoAccess.h"
#include "CRLDistributionPoints.h"
#include "CertificatePolicies.h"
#include "DERBytes.h"
#include "ErrCodeException.h"
#include "ExtendedKeyUsage.h"
#include "FuzzSupport.h"
#include "ReadingWriter.h"
#include "KeyUsage.h"
#include "QCStatements.h"
#include "QCSummary.h"
#include "X509Extension.h"
#include "X509GeneralName.h"

namespace {

const char* const kOids[] = {
    "2.5.29.15",          // keyUsage
    "2.5.29.37",          // extendedKeyUsage
    "2.5.29.31",          // cRLDistributionPoints
    "2.5.29.32",          // certificatePolicies
    "1.3.6.1.5.5.7.1.1",  // authorityInfoAccess
    "1.3.6.1.5.5.7.1.3",  // qcStatements
    "2.5.29.17",          // subjectAltName
    "2.5.29.19",          // basicConstraints
    "2.5.29.14",          // subjectKeyIdentifier
    "2.5.29.35",          // authorityKeyIdentifier
    "2.5.29.16",          // privateKeyUsagePeriod
    "2.5.29.20",          // cRLNumber
    "1.3.6.1.5.5.7.48.1.2",  // OCSP nonce
    "1.2.3.4.5",          // one OpenSSL does not know
};

void ReadTyped(const TvrX509::X509Extension& extension) {
  (void)extension.GetOID();
  (void)extension.GetName();
  (void)extension.IsSupported();
  (void)extension.GetValue();
  (void)extension.GetDER();
  if (auto* ku = dynamic_cast<const TvrX509::KeyUsage*>(&extension)) {
    uint32_t flags = 0;
    ku->GetFlags(flags);
  }
  if (auto* eku = dynamic_cast<const TvrX509::ExtendedKeyUsage*>(&extension)) {
    (void)eku->GetCount();
    (void)eku->GetOIDs();
  }
  if (auto* cdp = dynamic_cast<const TvrX509::CRLDistributionPoints*>(&extension)) {
    (void)cdp->GetCount();
    for (const auto& point : cdp->GetDistributionPoints()) {
      if (auto name = point.GetFullName()) (void)name->GetText();
    }
  }
  if (auto* policies = dynamic_cast<const TvrX509::CertificatePolicies*>(&extension)) {
    for (const auto& policy : policies->GetPolicies()) (void)policy.GetPolicyId();
  }
  if (auto* aia = dynamic_cast<const TvrX509::AuthInfoAccess*>(&extension)) {
    for (const auto& access : aia->GetAccessDescriptions()) {
      (void)access.GetMethod();
      (void)access.GetLocation().GetText();
    }
  }
  if (auto* qc = dynamic_cast<const TvrX509::QCStatements*>(&extension)) {
    const TvrX509::QCSummary summary = TvrX509::ProcessQCStatements(*qc);
    TvrFuzz::ReadingWriter writer;
    TvrX509::DescribeQCSummary(summary, writer);
    TvrX509::DescribeQCConformance(TvrX509::ClassifyQC(summary), writer);
    (void)TvrX509::IsQualified(summary);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TvrFuzz::Input input(data, size);
  const uint8_t selector = input.Byte();
  const char* oid = kOids[selector % (sizeof kOids / sizeof kOids[0])];
  const bool critical = (selector & 0x80) != 0;
  const TvrASN1::DERBytes value(input.Data(), input.Size());
  try {
    std::unique_ptr<TvrX509::X509Extension> extension(
        TvrX509::X509Extension::Create(oid, value, critical));
    if (extension) {
      ReadTyped(*extension);
      const TvrX509::X509Extension copy(*extension);
      (void)copy.GetDER();
    }
  } catch (const TvrCommon::ErrCodeException&) {
  }
  return 0;
}
