#include "TestCertificates.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace StoreTest {

namespace {

EVP_PKEY* SharedKey() {
  static EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) throw std::runtime_error("EC key generation failed");
  return key;
}

void FillName(X509_NAME* name, const std::vector<std::pair<std::string, std::string>>& entries) {
  for (const auto& [field, value] : entries) {
    if (X509_NAME_add_entry_by_txt(name, field.c_str(), V_ASN1_UTF8STRING,
                                   reinterpret_cast<const unsigned char*>(value.data()),
                                   static_cast<int>(value.size()), -1, 0) != 1)
      throw std::runtime_error("bad name entry " + field);
  }
}

void AddExtension(X509* certificate, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!extension) throw std::runtime_error("bad extension " + value);
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

}  // namespace

std::vector<uint8_t> MakeCertificateDer(const CertSpec& spec) {
  std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), X509_free);
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), spec.serial);
  FillName(X509_get_subject_name(certificate.get()), spec.subject);
  FillName(X509_get_issuer_name(certificate.get()), spec.issuer.empty() ? spec.subject : spec.issuer);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), spec.notBeforeSeconds);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), spec.notAfterSeconds);
  X509_set_pubkey(certificate.get(), SharedKey());
  if (spec.keyUsage) AddExtension(certificate.get(), NID_key_usage, "critical," + *spec.keyUsage);
  if (!spec.altNameEmails.empty()) {
    std::string names;
    for (const auto& email : spec.altNameEmails) names += (names.empty() ? "email:" : ",email:") + email;
    AddExtension(certificate.get(), NID_subject_alt_name, names);
  }
  if (X509_sign(certificate.get(), SharedKey(), EVP_sha256()) <= 0) throw std::runtime_error("sign failed");
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate.get(), &der);
  std::vector<uint8_t> bytes(der, der + length);
  OPENSSL_free(der);
  return bytes;
}

std::vector<uint8_t> MakeNumberedCertificate(const std::string& prefix, long serial) {
  CertSpec spec;
  spec.subject = {{"CN", prefix + " " + std::to_string(serial)}};
  spec.serial = serial;
  return MakeCertificateDer(spec);
}

std::string ToPem(const std::vector<uint8_t>& der) {
  const unsigned char* p = der.data();
  std::unique_ptr<X509, decltype(&X509_free)> certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())),
                                                          X509_free);
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  PEM_write_bio_X509(bio.get(), certificate.get());
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

}  // namespace StoreTest
