// OCSP responses from responders: the outer response, the basic response with its single
// responses, the search for the answer to a request, the nonce check and the signature
// verification against the seed PKI's responder and CA.
#include <ctime>
#include <memory>
#include <set>
#include <string>

#include "BasicOCSPResponse.h"
#include "ByteArray.h"
#include "ErrCodeException.h"
#include "FuzzSupport.h"
#include "OCSPRequest.h"
#include "OCSPResponse.h"
#include "SeedPki.h"
#include "SingleResponse.h"
#include "X509Certificate.h"

namespace {

TvrX509::X509Certificate FromPem(const char* pem, size_t size) {
  return TvrX509::X509Certificate(reinterpret_cast<const unsigned char*>(pem), static_cast<int>(size));
}

struct SeedPki {
  TvrX509::X509Certificate ca = FromPem(kSeedCaPem, sizeof kSeedCaPem - 1);
  TvrX509::X509Certificate leaf = FromPem(kSeedLeafPem, sizeof kSeedLeafPem - 1);
  TvrX509::X509Certificate responder = FromPem(kSeedOcspPem, sizeof kSeedOcspPem - 1);
  TvrOCSP::OCSPRequest request{"sha1", leaf, ca, false, false};
  TvrOCSP::OCSPRequest nonceRequest{"sha1", leaf, ca, false, true};
};

const SeedPki& Pki() {
  static const SeedPki pki;
  return pki;
}

void ReadSingle(const TvrOCSP::SingleResponse& single) {
  if (auto status = single.GetCertStatus()) {
    (void)status->GetStatus();
    if (auto revoked = status->GetRevokedInfo()) {
      (void)revoked->GetRevocationTime();
      (void)revoked->GetRevocationReason();
    }
  }
  if (auto id = single.GetCertID()) {
    (void)id->GetSerialNumber();
    (void)id->GetIssuerNameHash();
    (void)id->GetIssuerKeyHash();
    try {
      (void)id->GetHashAlgorithm();
    } catch (const TvrCommon::ErrCodeException&) {
    }
  }
  try {
    (void)single.GetThisUpdate();
  } catch (const TvrCommon::ErrCodeException&) {
  }
  (void)single.GetNextUpdate();
  (void)single.GetExtensions();
  (void)single.IsFresh(std::time(nullptr));
}

void ReadBasic(const TvrOCSP::BasicOCSPResponse& basic) {
  const SeedPki& pki = Pki();
  (void)basic.GetResponderID();
  (void)basic.GetProducedAt();
  (void)basic.GetSignature();
  (void)basic.GetFingerprint();
  if (auto singles = basic.GetSingleResponses()) {
    for (const auto& single : *singles) ReadSingle(single);
  }
  TvrOCSP::SingleResponse found;
  if (basic.FindSingleResponse(pki.request, found)) ReadSingle(found);
  (void)basic.GetCertificates();
  (void)basic.HasExtensions();
  (void)basic.GetExtensions();
  try {
    (void)basic.GetSignatureDigestAlgorithm();
  } catch (const TvrCommon::ErrCodeException&) {
  }
  (void)basic.CheckNonce(pki.nonceRequest);
  (void)basic.IsResponderCertificate(pki.responder);
  TvrX509::X509Certificate ca(pki.ca);
  TvrX509::X509Certificate responderCopy(pki.responder);
  const std::set<TvrX509::X509Certificate*> candidates{&ca, &responderCopy};
  TvrX509::X509Certificate signer;
  if (basic.Verify(signer, &candidates)) {
    (void)basic.IsAuthorizedResponder(signer, pki.ca);
  }
  TvrX509::X509Certificate none;
  (void)basic.Verify(none, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Pki();
  try {
    const TvrOCSP::OCSPResponse response(TvrCommon::ByteArray(data, size));
    (void)response.GetStatus();
    (void)response.GetStatusText();
    if (auto bytes = response.GetResponseBytes()) {
      try {
        (void)bytes->GetResponseType();
      } catch (const TvrCommon::ErrCodeException&) {
      }
    }
    (void)response.GetDER();
    if (auto basic = response.GetBasicResponse()) {
      ReadBasic(*basic);
      const TvrOCSP::BasicOCSPResponse copy(*basic);
      (void)copy.GetResponderID();
    }
  } catch (const TvrCommon::ErrCodeException&) {
    // Not an outer response: perhaps a bare basic response (the cache keeps those).
    try {
      ReadBasic(TvrOCSP::BasicOCSPResponse(TvrASN1::DERBytes(data, size)));
    } catch (const TvrCommon::ErrCodeException&) {
    }
  }
  return 0;
}
