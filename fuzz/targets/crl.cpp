// Revocation lists downloaded from distribution points (DER, PEM or Base64): every reader,
// the search for a serial number and the signature check against the seed CA.
#include <string>

#include "BigInt.h"
#include "ErrCodeException.h"
#include "FuzzSupport.h"
#include "SeedPki.h"
#include "X509CRLImpl.h"
#include "X509Certificate.h"

namespace {

const TvrX509::X509Certificate& Issuer() {
  static const TvrX509::X509Certificate issuer(
      reinterpret_cast<const unsigned char*>(kSeedCaPem), static_cast<int>(sizeof kSeedCaPem - 1));
  return issuer;
}

const TvrX509::X509Certificate& Listed() {
  static const TvrX509::X509Certificate leaf(
      reinterpret_cast<const unsigned char*>(kSeedLeafPem), static_cast<int>(sizeof kSeedLeafPem - 1));
  return leaf;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const TvrX509::X509CRLImpl crl(data, static_cast<long>(size));
    (void)crl.GetVersion();
    (void)crl.GetIssuerDN();
    (void)crl.GetIssuerCN();
    long number = 0;
    (void)crl.GetCRLNumber(number);
    (void)crl.GetLastUpdate();
    (void)crl.GetNextUpdate();
    for (int i = 0; i < crl.GetExtensionCount() && i < 64; ++i) {
      TvrX509::X509Extension extension;
      if (crl.GetExtension(i, extension)) (void)extension.GetName();
    }
    if (auto revoked = crl.GetRevoked(Listed().GetSerialNumber())) {
      (void)revoked->GetSerialNumber();
      (void)revoked->GetRevocationDate();
    }
    (void)crl.VerifySignature(Issuer());
    (void)crl.GetSignatureValue();
    try {
      (void)crl.GetSignatureDigestAlgorithm();
    } catch (const TvrCommon::ErrCodeException&) {
    }
    const TvrX509::X509CRLImpl copy(crl);
    (void)(copy == crl);
  } catch (const TvrCommon::ErrCodeException&) {
  }
  return 0;
}
