// Card-backed OpenSSL keys over SoftHSM2: the private operations run on the token and
// OpenSSL's own verification accepts what they produce.
// The low-level RSA and EC calls are what OpenSSL routes to the card methods.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "CardKeys.h"
#include "CardTokenWriter.h"
#include "ContentsFixture.h"
#include "CryptoAlgJanitor.h"
#include "EncryptedData.h"

namespace {

using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrTest::TestPki;

PkiItem EcLeaf(const std::string& cn) {
  CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  spec.keyType = "ec";
  spec.extensions = {{"keyUsage", "critical,digitalSignature"}};
  return CertBuilder::Issue(spec, &TestPki::Get().Intermediate());
}

std::vector<uint8_t> SignThrough(EVP_PKEY* key, const EVP_MD* md, const std::string& message) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  size_t length = 0;
  std::vector<uint8_t> signature;
  if (EVP_DigestSignInit(ctx, nullptr, md, nullptr, key) == 1 &&
      EVP_DigestSign(ctx, nullptr, &length, reinterpret_cast<const unsigned char*>(message.data()),
                     message.size()) == 1) {
    signature.resize(length);
    if (EVP_DigestSign(ctx, signature.data(), &length, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) == 1)
      signature.resize(length);
    else
      signature.clear();
  }
  EVP_MD_CTX_free(ctx);
  return signature;
}

bool VerifyWith(X509* certificate, const EVP_MD* md, const std::string& message,
                const std::vector<uint8_t>& signature) {
  EvpPkeyPtr key(X509_get_pubkey(certificate));
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok = EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key.get()) == 1 &&
                  EVP_DigestVerify(ctx, signature.data(), signature.size(),
                                   reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}

class CardKeysTest : public UiTest::ContentsFixture {
 protected:
  void SetUp() override {
    RegisterCardKeyExIndex();
    AddCertificate(rsa_.Der(), "a1", "rsa", &rsa_);
    AddCertificate(ec_.Der(), "b2", "ec", &ec_);
    Open();
  }
  CardKeyRef RefFor(const std::string& id) {
    return CardKeyRef{token_.get(), FindObjectHandleById(GetTokenObjects(false)->privateKeys, id), nullptr};
  }

  TvrCrypto::CryptoAlgJanitor openssl_;
  PkiItem rsa_ = UiTest::EncryptionLeaf("Titkos Tímea");
  PkiItem ec_ = EcLeaf("Aláíró Aladár");
};

TEST_F(CardKeysTest, RsaDecryptsCmsAndSignsOnTheCard) {
  CardKeyRef ref = RefFor("a1");
  ASSERT_NE(ref.keyHandle, 0u);
  EvpPkeyPtr key(WrapCardKeyForCertificate(rsa_.Cert(), &ref));
  ASSERT_TRUE(key);

  // CMS enveloped data for the certificate, opened by the card's key.
  const std::string secret = "Titkos üzenet\r\nmásodik sor";
  std::vector<uint8_t> der;
  ASSERT_TRUE(CmsEncryptForCertificates(rsa_.Cert(), reinterpret_cast<const uint8_t*>(secret.data()),
                                        static_cast<int>(secret.size()), der));
  const unsigned char* p = der.data();
  CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
  ASSERT_TRUE(cms);
  std::vector<uint8_t> plain;
  ASSERT_TRUE(CmsDecryptWithCardKey(cms.get(), key.get(), rsa_.Cert(), plain));
  EXPECT_EQ(std::string(plain.begin(), plain.end()), secret);
  EXPECT_GE(shim_->CountCalls("C_Decrypt"), 1u);

  // Any padding asks the card for PKCS #1 v1.5 (what it gives back is the same).
  RSA* rsa = const_cast<RSA*>(EVP_PKEY_get0_RSA(key.get()));
  ASSERT_NE(rsa, nullptr);
  EvpPkeyPtr publicKey(X509_get_pubkey(rsa_.Cert()));
  std::vector<uint8_t> cipher(256);
  size_t cipherLength = cipher.size();
  EVP_PKEY_CTX* encrypt = EVP_PKEY_CTX_new(publicKey.get(), nullptr);
  ASSERT_EQ(EVP_PKEY_encrypt_init(encrypt), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(encrypt, RSA_PKCS1_PADDING), 1);
  ASSERT_EQ(EVP_PKEY_encrypt(encrypt, cipher.data(), &cipherLength,
                             reinterpret_cast<const unsigned char*>("kulcs"), 5), 1);
  EVP_PKEY_CTX_free(encrypt);
  std::vector<uint8_t> out(256);
  EXPECT_EQ(RSA_private_decrypt(static_cast<int>(cipherLength), cipher.data(), out.data(), rsa, RSA_NO_PADDING),
            5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), 5), "kulcs");

  // PKCS #1 v1.5 signatures for every supported digest verify with the certificate.
  for (const EVP_MD* md : {EVP_sha1(), EVP_sha256(), EVP_sha384(), EVP_sha512()}) {
    SCOPED_TRACE(EVP_MD_get0_name(md));
    const std::vector<uint8_t> signature = SignThrough(key.get(), md, "aláírandó szöveg");
    ASSERT_EQ(signature.size(), 256u);
    EXPECT_TRUE(VerifyWith(rsa_.Cert(), md, "aláírandó szöveg", signature));
    EXPECT_FALSE(VerifyWith(rsa_.Cert(), md, "más szöveg", signature));
  }
}

TEST_F(CardKeysTest, EcdsaSignatureFromTheCardVerifies) {
  CardKeyRef ref = RefFor("b2");
  ASSERT_NE(ref.keyHandle, 0u);
  EvpPkeyPtr key(WrapCardKeyForCertificate(ec_.Cert(), &ref));
  ASSERT_TRUE(key);
  for (int round = 0; round < 4; ++round) {  // r or s with a leading zero byte now and then
    const std::string message = "ECDSA üzenet " + std::to_string(round);
    const std::vector<uint8_t> signature = SignThrough(key.get(), EVP_sha256(), message);
    ASSERT_FALSE(signature.empty());
    EXPECT_TRUE(VerifyWith(ec_.Cert(), EVP_sha256(), message, signature));
  }
  EXPECT_GE(shim_->CountCalls("C_Sign"), 4u);
  // The signature set-up cannot run on the card.
  BIGNUM *kinv = nullptr, *r = nullptr;
  EXPECT_LE(ECDSA_sign_setup(const_cast<EC_KEY*>(EVP_PKEY_get0_EC_KEY(key.get())), nullptr, &kinv, &r), 0);
}

TEST_F(CardKeysTest, UnsupportedOperationsFailWithoutTheCard) {
  CardKeyRef ref = RefFor("a1");
  EvpPkeyPtr key(WrapCardKeyForCertificate(rsa_.Cert(), &ref));
  ASSERT_TRUE(key);
  RSA* rsa = const_cast<RSA*>(EVP_PKEY_get0_RSA(key.get()));
  shim_->ClearLog();
  unsigned char hash[16] = {1, 2, 3};
  std::vector<uint8_t> out(256);
  unsigned int length = 0;
  EXPECT_LE(RSA_sign(NID_md5, hash, sizeof hash, out.data(), &length, rsa), 0);
  EXPECT_EQ(RSA_public_encrypt(5, reinterpret_cast<const unsigned char*>("kulcs"), out.data(), rsa,
                               RSA_PKCS1_PADDING),
            -1);
  EXPECT_EQ(RSA_private_encrypt(5, reinterpret_cast<const unsigned char*>("kulcs"), out.data(), rsa,
                                RSA_PKCS1_PADDING),
            -1);
  EXPECT_EQ(shim_->CountCalls("C_SignInit"), 0u);
  EXPECT_EQ(shim_->CountCalls("C_DecryptInit"), 0u);

  // A key without a card reference fails instead of crashing.
  CardKeyRef empty;
  EvpPkeyPtr orphan(WrapCardKeyForCertificate(rsa_.Cert(), &empty));
  ASSERT_TRUE(orphan);
  EXPECT_TRUE(SignThrough(orphan.get(), EVP_sha256(), "x").empty());

  // Key types other than RSA and EC are not wrapped.
  EvpPkeyPtr ed(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  EXPECT_EQ(WrapCardKey(ed.get(), &ref), nullptr);
  EVP_PKEY_CTX* paramsCtx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
  EVP_PKEY* params = nullptr;
  ASSERT_EQ(EVP_PKEY_paramgen_init(paramsCtx), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_dsa_paramgen_bits(paramsCtx, 1024), 1);
  ASSERT_EQ(EVP_PKEY_paramgen(paramsCtx, &params), 1);
  EVP_PKEY_CTX_free(paramsCtx);
  EVP_PKEY_CTX* keyCtx = EVP_PKEY_CTX_new(params, nullptr);
  EVP_PKEY* dsa = nullptr;
  ASSERT_EQ(EVP_PKEY_keygen_init(keyCtx), 1);
  ASSERT_EQ(EVP_PKEY_keygen(keyCtx, &dsa), 1);
  EVP_PKEY_CTX_free(keyCtx);
  EVP_PKEY_free(params);
  EvpPkeyPtr dsaKey(dsa);
  EXPECT_EQ(WrapCardKey(dsaKey.get(), &ref), nullptr);
}

}  // namespace
