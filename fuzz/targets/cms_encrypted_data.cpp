// The values of "Encrypted Data" objects read from a card (CMS enveloped data): the
// recipient checks and the decryption with the recipient's key.
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdint>
#include <vector>

#include "EncryptedData.h"
#include "FuzzSupport.h"
#include "SeedPki.h"

namespace {

struct Recipient {
  X509* certificate = nullptr;
  EVP_PKEY* key = nullptr;
  Recipient() {
    BIO* bio = BIO_new_mem_buf(kSeedRsaPem, -1);
    certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    bio = BIO_new_mem_buf(kSeedRsaKeyPem, -1);
    key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    TvrFuzz::Require(certificate && key, "the seed recipient loads");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Recipient recipient;
  const unsigned char* cursor = data;
  CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(size)));
  if (!cms) return 0;
  (void)IsCmsRecipient(cms.get(), recipient.certificate);
  std::vector<uint8_t> plain;
  (void)CmsDecryptWithCardKey(cms.get(), recipient.key, recipient.certificate, plain);
  (void)SetCmsRecipientIssuerSerial(cms.get(), recipient.certificate);
  (void)IsCmsRecipient(cms.get(), recipient.certificate);
  return 0;
}
