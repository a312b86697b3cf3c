// A throw-away PKI for certificate, OCSP and registration tests, generated in-process
// (EC P-256 keys, so it takes milliseconds) into a per-process temporary folder on first
// use. Nothing is committed: the certificates are made relative to the current clock,
// and tests that check times pass explicit instants taken from the items.
//
// Layout: a root CA, an intermediate CA (AIA caIssuers -> root), and under the
// intermediate an OCSP signer (id-kp-OCSPSigning), a TLS server for 127.0.0.1, and end
// entities whose keyUsage, extendedKeyUsage, AIA, CRL distribution points, policies,
// alternative names and qualified statements differ. `IndexTxt()` is an `openssl ocsp
// -index` database of everything the intermediate issued (the revoked and on-hold leaves
// marked), and the intermediate's CRL lists the same two. Failures throw
// std::runtime_error.
#pragma once

#include <openssl/types.h>

#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace TvrTest {

// One certificate and its private key. The OpenSSL objects belong to the item.
class PkiItem {
 public:
  PkiItem() = default;
  PkiItem(X509* certificate, EVP_PKEY* key);  // takes ownership of both
  PkiItem(const PkiItem& other);
  PkiItem& operator=(const PkiItem& other);
  ~PkiItem();

  X509* Cert() const { return cert_; }
  EVP_PKEY* Key() const { return key_; }
  std::vector<unsigned char> Der() const;
  std::string Pem() const;
  std::string KeyPem() const;                  // unencrypted PKCS#8
  std::string SerialHex() const;               // upper case, no separators
  std::time_t NotBefore() const;
  std::time_t NotAfter() const;

  // Set by TestPki: <dir>/<name>.pem, .der and .key.pem.
  std::string name;
  std::string pemPath;
  std::string derPath;
  std::string keyPath;

 private:
  X509* cert_ = nullptr;
  EVP_PKEY* key_ = nullptr;
};

// What the builder puts into one certificate.
struct CertSpec {
  std::string subject;                 // slash text, UTF-8: "/C=HU/O=Tavrenic/CN=Name"
  long serial = 0;                     // 0: the next free number of this process
  std::time_t notBefore = 0;           // 0: one day ago
  std::time_t notAfter = 0;            // 0: a year from now
  bool ca = false;                     // basicConstraints CA:TRUE, keyCertSign and cRLSign
  // Further extensions as OpenSSL configuration (name, value), e.g.
  // {"keyUsage", "critical,digitalSignature"}; values starting "DER:" give raw content.
  std::vector<std::pair<std::string, std::string>> extensions;
  bool subjectKeyId = true;            // subjectKeyIdentifier = hash of the key
  bool authorityKeyId = true;          // authorityKeyIdentifier = the issuer's key id
  std::string overrideAuthorityKeyIdHex;  // a given keyIdentifier instead (SKI/AKID mismatch)
  bool breakSignature = false;         // flips a bit of the signature after signing
  std::string keyType = "ec";          // "ec" (P-256) or "rsa" (2048 bits)
};

// Makes certificates of any shape: issued by `issuer` (null: self-signed) with `key`
// (null: a fresh key), so cross-certificates and cycles are two calls with shared keys.
class CertBuilder {
 public:
  static PkiItem Issue(const CertSpec& spec, const PkiItem* issuer, EVP_PKEY* key = nullptr);
  static EVP_PKEY* NewKey(const std::string& keyType);  // caller frees
};

// DER helpers for building extension values by hand.
std::vector<unsigned char> DerTlv(unsigned char tag, const std::vector<unsigned char>& content);
std::vector<unsigned char> DerOid(const std::string& dotted);
std::string Hex(const std::vector<unsigned char>& bytes);

class TestPki {
 public:
  // The process's PKI, generated on first use.
  static const TestPki& Get();

  static constexpr const char* kPfxPassword = "Tvr-Pfx-1234";
  static constexpr const char* kOcspUrl = "http://127.0.0.1:18080/ocsp";
  static constexpr const char* kOcspUrl2 = "http://ocsp2.tavrenic.test/ocsp";
  static constexpr const char* kRootUrl = "http://127.0.0.1:18080/root.der";
  static constexpr const char* kIntermediateUrl = "http://127.0.0.1:18080/intermediate.der";
  static constexpr const char* kCrlUrl = "http://127.0.0.1:18080/intermediate.crl";
  static constexpr const char* kCrlUrl2 = "ldap://127.0.0.1/cn=Tavrenic%20Test%20Intermediate";
  static constexpr const char* kPolicyOid = "1.3.6.1.4.1.99999.1.1";
  static constexpr const char* kPolicyOid2 = "1.3.6.1.4.1.99999.1.2";

  const std::string& Dir() const { return dir_; }

  const PkiItem& Root() const { return root_; }
  const PkiItem& Intermediate() const { return intermediate_; }
  const PkiItem& OcspSigner() const { return ocspSigner_; }
  const PkiItem& TlsServer() const { return tlsServer_; }  // DNS:localhost, IP:127.0.0.1
  // keyUsage digitalSignature+nonRepudiation; EKU emailProtection+clientAuth; AIA OCSP
  // (kOcspUrl, kOcspUrl2) + caIssuers; CRL DP (kCrlUrl, kCrlUrl2 in one fullName);
  // policies kPolicyOid, kPolicyOid2; SAN email + DNS; Hungarian subject.
  const PkiItem& SigningLeaf() const { return signing_; }
  // keyUsage keyEncipherment+dataEncipherment; EKU emailProtection.
  const PkiItem& EncryptionLeaf() const { return encryption_; }
  // No keyUsage, no extendedKeyUsage; e-mail only in the subjectAltName.
  const PkiItem& NoKeyUsageLeaf() const { return noKeyUsage_; }
  // qcStatements: QcCompliance, QcSSCD, QcType esign, QcPDS (en), retention 10 years,
  // limit 5000 EUR; keyUsage nonRepudiation.
  const PkiItem& QualifiedLeaf() const { return qualified_; }
  const PkiItem& RevokedLeaf() const { return revoked_; }   // keyCompromise
  const PkiItem& OnHoldLeaf() const { return onHold_; }     // certificateHold
  const PkiItem& ExpiredLeaf() const { return expired_; }   // notAfter 30 days ago
  std::time_t RevocationTime() const { return revocationTime_; }

  // root then intermediate, PEM.
  const std::string& CaBundlePath() const { return caBundlePath_; }
  const std::string& IndexTxtPath() const { return indexPath_; }
  const std::string& CrlPemPath() const { return crlPemPath_; }
  const std::string& CrlDerPath() const { return crlDerPath_; }
  std::vector<unsigned char> CrlDer() const;

  // The signing leaf with its key and the CA certificates, kPfxPassword.
  const std::string& PfxModernPath() const { return pfxModern_; }   // AES-256, PBKDF2
  const std::string& PfxLegacyPath() const { return pfxLegacy_; }   // 3DES key, RC2 certs
  const std::string& PfxEmptyPasswordPath() const { return pfxEmpty_; }
  const std::string& PfxKeyOnlyPath() const { return pfxKeyOnly_; }  // no certificate

  TestPki(const TestPki&) = delete;
  TestPki& operator=(const TestPki&) = delete;
  ~TestPki();

 private:
  TestPki();
  void Generate();
  void Save(PkiItem& item, const std::string& name);
  void WriteIndex() const;
  void WriteCrl();
  void WritePfxFiles();

  std::string dir_;
  PkiItem root_, intermediate_, ocspSigner_, tlsServer_, signing_, encryption_, noKeyUsage_,
      qualified_, revoked_, onHold_, expired_;
  std::time_t revocationTime_ = 0;
  std::string caBundlePath_, indexPath_, crlPemPath_, crlDerPath_;
  std::string pfxModern_, pfxLegacy_, pfxEmpty_, pfxKeyOnly_;
};

}  // namespace TvrTest
