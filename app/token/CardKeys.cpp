// The key methods are OpenSSL's low-level interfaces: the only way to put a card behind
// an EVP_PKEY that CMS and EVP use without a provider of our own.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "CardKeys.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/obj_mac.h>
#include <openssl/rsa.h>

namespace {

// Gone from OpenSSL's headers since 1.1 (the sign and verify slots are used whenever they
// are set); the value is kept so the key says what it is.
constexpr int kRsaFlagSignVer = 0x40;

std::atomic<int> ecKeyExIndex{-1};
std::once_flag ecKeyExIndexOnce;

// DigestInfo headers of PKCS #1 v1.5 (RFC 8017), the hash follows.
const uint8_t kSha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                               0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
const uint8_t kSha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
const uint8_t kSha384Prefix[] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                 0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
const uint8_t kSha512Prefix[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                 0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};

bool DigestInfoPrefix(int nid, const uint8_t*& prefix, size_t& length) {
  switch (nid) {
    case NID_sha1: prefix = kSha1Prefix; length = sizeof kSha1Prefix; return true;
    case NID_sha256: prefix = kSha256Prefix; length = sizeof kSha256Prefix; return true;
    case NID_sha384: prefix = kSha384Prefix; length = sizeof kSha384Prefix; return true;
    case NID_sha512: prefix = kSha512Prefix; length = sizeof kSha512Prefix; return true;
    default: return false;
  }
}

CardKeyRef* RsaRef(const RSA* rsa) { return static_cast<CardKeyRef*>(RSA_get_ex_data(rsa, 0)); }

int CardRsaUnsupported(int, const unsigned char*, unsigned char*, RSA*, int) { return -1; }

int CardRsaPrivateDecrypt(int length, const unsigned char* input, unsigned char* output, RSA* rsa,
                          int /*padding: the card always removes PKCS #1 v1.5 padding*/) {
  CardKeyRef* ref = RsaRef(rsa);
  if (!ref || !ref->token || length < 0) return -1;
  uint32_t outputLength = static_cast<uint32_t>(RSA_size(rsa));
  if (!ref->token->Decrypt(ref->keyHandle, input, static_cast<uint32_t>(length), output, &outputLength))
    return -1;
  return static_cast<int>(outputLength);
}

int CardRsaSign(int nid, const unsigned char* hash, unsigned int hashLength, unsigned char* signature,
                unsigned int* signatureLength, const RSA* rsa) {
  const uint8_t* prefix = nullptr;
  size_t prefixLength = 0;
  if (!DigestInfoPrefix(nid, prefix, prefixLength)) return -1;
  std::vector<uint8_t> digestInfo(prefix, prefix + prefixLength);
  digestInfo.insert(digestInfo.end(), hash, hash + hashLength);
  const int size = RSA_size(rsa);
  CardKeyRef* ref = RsaRef(rsa);
  if (!ref || !ref->token || size <= 0) return -1;
  uint32_t length = static_cast<uint32_t>(size);
  if (!ref->token->SignRSA(ref->keyHandle, ref->pin, digestInfo.data(),
                           static_cast<uint32_t>(digestInfo.size()), signature, &length))
    return -1;
  *signatureLength = static_cast<unsigned int>(size);
  return 1;
}

// OpenSSL 3's default method has no verify of its own: verify with a plain public key of
// the same modulus and exponent.
int CardRsaVerify(int nid, const unsigned char* hash, unsigned int hashLength, const unsigned char* signature,
                  unsigned int signatureLength, const RSA* rsa) {
  const BIGNUM *n = nullptr, *e = nullptr;
  RSA_get0_key(rsa, &n, &e, nullptr);
  RSA* plain = RSA_new();
  BIGNUM* nCopy = n ? BN_dup(n) : nullptr;
  BIGNUM* eCopy = e ? BN_dup(e) : nullptr;
  if (!plain || !nCopy || !eCopy || !RSA_set0_key(plain, nCopy, eCopy, nullptr)) {
    BN_free(nCopy);
    BN_free(eCopy);
    RSA_free(plain);
    return 0;
  }
  const int result = RSA_verify(nid, hash, hashLength, signature, signatureLength, plain);
  RSA_free(plain);
  return result;
}

int CardRsaInitFinish(RSA*) { return 1; }

const RSA_METHOD* CardRsaMethod() {
  static RSA_METHOD* method = [] {
    RSA_METHOD* m = RSA_meth_new("P-RSA method", kRsaFlagSignVer);
    if (!m) return m;
    RSA_meth_set_pub_enc(m, CardRsaUnsupported);
    RSA_meth_set_pub_dec(m, CardRsaUnsupported);
    RSA_meth_set_priv_enc(m, CardRsaUnsupported);
    RSA_meth_set_priv_dec(m, CardRsaPrivateDecrypt);
    RSA_meth_set_init(m, CardRsaInitFinish);
    RSA_meth_set_finish(m, CardRsaInitFinish);
    RSA_meth_set_sign(m, CardRsaSign);
    RSA_meth_set_verify(m, CardRsaVerify);
    return m;
  }();
  return method;
}

int CardEcSignSetupUnsupported(EC_KEY*, BN_CTX*, BIGNUM**, BIGNUM**) { return -1; }

ECDSA_SIG* CardEcdsaSign(const unsigned char* hash, int hashLength, const BIGNUM* /*kinv*/, const BIGNUM* /*r*/,
                         EC_KEY* key) {
  const std::vector<uint8_t> digest(hash, hash + (hashLength > 0 ? hashLength : 0));
  const int size = ECDSA_size(key);
  const int index = CardEcKeyExIndex();
  CardKeyRef* ref = index >= 0 ? static_cast<CardKeyRef*>(EC_KEY_get_ex_data(key, index)) : nullptr;
  if (!ref || !ref->token || size <= 0) return nullptr;
  std::vector<uint8_t> signature(static_cast<size_t>(size));
  uint32_t length = static_cast<uint32_t>(signature.size());
  if (!ref->token->SignEC(ref->keyHandle, ref->pin, digest.data(), static_cast<uint32_t>(digest.size()),
                          signature.data(), &length) ||
      length == 0 || length % 2 != 0 || length > signature.size())
    return nullptr;
  const int half = static_cast<int>(length / 2);
  BIGNUM* r = BN_bin2bn(signature.data(), half, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + half, half, nullptr);
  ECDSA_SIG* result = ECDSA_SIG_new();
  if (!r || !s || !result || !ECDSA_SIG_set0(result, r, s)) {
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(result);
    return nullptr;
  }
  return result;
}

// A copy of OpenSSL's default EC method with signing on the card; verification stays.
const EC_KEY_METHOD* CardEcKeyMethod() {
  static EC_KEY_METHOD* method = [] {
    EC_KEY_METHOD* m = EC_KEY_METHOD_new(EC_KEY_get_default_method());
    if (!m) return m;
    int (*sign)(int, const unsigned char*, int, unsigned char*, unsigned int*, const BIGNUM*, const BIGNUM*,
                EC_KEY*) = nullptr;
    EC_KEY_METHOD_get_sign(m, &sign, nullptr, nullptr);
    EC_KEY_METHOD_set_sign(m, sign, CardEcSignSetupUnsupported, CardEcdsaSign);
    return m;
  }();
  return method;
}

EVP_PKEY* WrapRsa(EVP_PKEY* publicKey, CardKeyRef* ref) {
  BIGNUM *n = nullptr, *e = nullptr;
  if (!EVP_PKEY_get_bn_param(publicKey, OSSL_PKEY_PARAM_RSA_N, &n) ||
      !EVP_PKEY_get_bn_param(publicKey, OSSL_PKEY_PARAM_RSA_E, &e)) {
    BN_free(n);
    BN_free(e);
    return nullptr;
  }
  EVP_PKEY* result = EVP_PKEY_new();
  RSA* rsa = RSA_new();
  const RSA_METHOD* method = CardRsaMethod();
  // The method must be set before the key is assigned: OpenSSL 3 takes only keys that are
  // already "foreign" at assignment down the path that calls the method.
  if (!result || !rsa || !method || !RSA_set_method(rsa, method)) {
    BN_free(n);
    BN_free(e);
    RSA_free(rsa);
    EVP_PKEY_free(result);
    return nullptr;
  }
  RSA_set_flags(rsa, kRsaFlagSignVer);
  if (!RSA_set0_key(rsa, n, e, nullptr)) {
    BN_free(n);
    BN_free(e);
    RSA_free(rsa);
    EVP_PKEY_free(result);
    return nullptr;
  }
  if (!RSA_set_ex_data(rsa, 0, ref) || !EVP_PKEY_assign_RSA(result, rsa)) {
    RSA_free(rsa);
    EVP_PKEY_free(result);
    return nullptr;
  }
  return result;
}

EVP_PKEY* WrapEc(EVP_PKEY* publicKey, CardKeyRef* ref) {
  const int index = CardEcKeyExIndex();
  const EC_KEY_METHOD* method = CardEcKeyMethod();
  if (index < 0 || !method) return nullptr;
  EC_KEY* cached = EVP_PKEY_get1_EC_KEY(publicKey);
  EC_KEY* ec = cached ? EC_KEY_dup(cached) : nullptr;
  EC_KEY_free(cached);
  EVP_PKEY* result = EVP_PKEY_new();
  if (!ec || !result || !EC_KEY_set_method(ec, method) || !EC_KEY_set_ex_data(ec, index, ref) ||
      !EVP_PKEY_assign_EC_KEY(result, ec)) {
    EC_KEY_free(ec);
    EVP_PKEY_free(result);
    return nullptr;
  }
  return result;
}

}  // namespace

void RegisterCardKeyExIndex() {
  std::call_once(ecKeyExIndexOnce, [] {
    static char name[] = "Pentor EC_KEY";
    ecKeyExIndex = EC_KEY_get_ex_new_index(0, name, nullptr, nullptr, nullptr);
  });
}

int CardEcKeyExIndex() { return ecKeyExIndex; }

EVP_PKEY* WrapCardKeyForCertificate(X509* certificate, CardKeyRef* ref) {
  if (!certificate) return nullptr;
  EVP_PKEY* publicKey = X509_get_pubkey(certificate);
  if (!publicKey) return nullptr;
  EVP_PKEY* result = WrapCardKey(publicKey, ref);
  EVP_PKEY_free(publicKey);
  return result;
}

EVP_PKEY* WrapCardKey(EVP_PKEY* publicKey, CardKeyRef* ref) {
  if (!publicKey) return nullptr;
  switch (EVP_PKEY_get_base_id(publicKey)) {
    case EVP_PKEY_RSA:
      return WrapRsa(publicKey, ref);
    case EVP_PKEY_EC:
      return WrapEc(publicKey, ref);
    default:  // DSA and everything else
      return nullptr;
  }
}
