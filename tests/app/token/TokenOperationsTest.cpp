#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "TokenTestFixture.h"

namespace {

using TvrCommon::SecureString;

EvpPkeyPtr GenerateKey(const char* type) {
  if (std::string(type) == "RSA") return EvpPkeyPtr(EVP_RSA_gen(2048));
  return EvpPkeyPtr(EVP_EC_gen("P-256"));
}

X509Ptr ReadCertificate(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> der((std::istreambuf_iterator<char>(in)), {});
  const unsigned char* p = der.data();
  return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

std::vector<uint8_t> Sha256(const std::string& text) {
  std::vector<uint8_t> digest(32);
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

class RsaTokenTest : public TokenTest {
 protected:
  TvrTest::TokenSpec InitialToken() const override {
    TvrTest::TokenSpec spec;
    spec.keyType = "rsa";
    return spec;
  }
  CK_OBJECT_HANDLE PrivateKey(PKCS11Base& token) {
    auto objects = token.ReadObjects();
    return FindObjectHandleById(objects->privateKeys, "01");
  }
};

class EcTokenTest : public RsaTokenTest {
 protected:
  TvrTest::TokenSpec InitialToken() const override { return TvrTest::TokenSpec{}; }
};

TEST_F(TokenTest, CreatedObjectsReadBackAndCanBeDestroyed) {
  InstallShim();
  auto token = CreateLoggedInToken();
  auto rsa = GenerateKey("RSA");
  auto ec = GenerateKey("EC");
  const std::string rsaId = "0A0b", ecId = "ec01", label = "Imported";
  ASSERT_TRUE(token->CreatePublicKey(&rsaId, &label, rsa.get()));
  ASSERT_TRUE(token->CreatePrivateKey(&rsaId, &label, rsa.get()));
  ASSERT_TRUE(token->CreatePublicKey(&ecId, &label, ec.get()));
  ASSERT_TRUE(token->CreatePrivateKey(&ecId, &label, ec.get()));
  const std::string app = "CSP";
  const uint8_t value[] = {'x'};
  ASSERT_TRUE(token->CreateDataObject(true, &label, &app, value, 1));

  auto objects = token->ReadObjects();
  ASSERT_EQ(objects->publicKeys.size(), 2u);
  ASSERT_EQ(objects->privateKeys.size(), 2u);
  ASSERT_EQ(objects->dataObjects.size(), 1u);
  auto* rsaPublic = objects->FindPublicKey(FindObjectHandleById(objects->publicKeys, "0a0b"));
  auto* ecPublic = objects->FindPublicKey(FindObjectHandleById(objects->publicKeys, "ec01"));
  ASSERT_TRUE(rsaPublic && ecPublic);
  EXPECT_EQ(rsaPublic->label, "Imported");
  EXPECT_FALSE(rsaPublic->signOnly);  // created with encrypt, verify and wrap
  EXPECT_EQ(EVP_PKEY_eq(rsaPublic->publicKey.get(), rsa.get()), 1);
  EXPECT_EQ(EVP_PKEY_eq(ecPublic->publicKey.get(), ec.get()), 1);
  // 65537 goes to the card as the three bytes 01 00 01.
  auto exponent = token->GetAttribute(FindObjectHandleById(objects->publicKeys, "0a0b"),
                                      CKA_PUBLIC_EXPONENT);
  ASSERT_NE(exponent, nullptr);
  EXPECT_EQ(*exponent, std::string("\x01\x00\x01", 3));

  for (const auto& [handle, record] : objects->publicKeys) EXPECT_TRUE(token->DestroyObject(handle));
  for (const auto& [handle, record] : objects->privateKeys) EXPECT_TRUE(token->DestroyObject(handle));
  for (const auto& [handle, record] : objects->dataObjects) EXPECT_TRUE(token->DestroyObject(handle));
  auto after = token->ReadObjects();
  EXPECT_TRUE(after->publicKeys.empty() && after->privateKeys.empty() && after->dataObjects.empty());
  sink_->Clear();
  EXPECT_FALSE(token->DestroyObject(objects->publicKeys.begin()->first));
  EXPECT_EQ(Events(), std::vector<std::string>{"DestroyObject ERROR! Error code: 00000082"});
}

TEST_F(EcTokenTest, CreatedCertificateHasItsSubjectAndTheCategoryOnlyFromTheNewestClass) {
  InstallShim();
  auto certificate = ReadCertificate(tokens_->CertificateDer("TvrTest"));
  ASSERT_NE(certificate, nullptr);
  for (const char* version : {"2.11", "2.20"}) {
    auto token = CreateLoggedInToken(version);
    const std::string id = std::string("0") + version[0] + version[2] + version[3], label = version;
    ASSERT_TRUE(token->CreateCertificate(&id, &label, 2, certificate.get())) << version;
    auto objects = token->ReadObjects();
    CK_OBJECT_HANDLE handle = FindObjectHandleById(objects->certificates, id);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(objects->FindCertificate(handle)->GetThumbprint(),
              objects->certificates.begin()->second->GetThumbprint());
    auto category = token->GetAttribute(handle, CKA_CERTIFICATE_CATEGORY);
    ASSERT_NE(category, nullptr);
    ASSERT_EQ(category->size(), sizeof(CK_ULONG));
    CK_ULONG value = 0;
    std::memcpy(&value, category->data(), sizeof value);
    EXPECT_EQ(value, std::string(version) == "2.20" ? 2u : 0u) << version;
    // The subject goes along as the DER of the certificate's subject name.
    unsigned char* subject = nullptr;
    const int subjectLength = i2d_X509_NAME(X509_get_subject_name(certificate.get()), &subject);
    ASSERT_GT(subjectLength, 0);
    const std::string expectedSubject(reinterpret_cast<char*>(subject), static_cast<size_t>(subjectLength));
    OPENSSL_free(subject);
    auto storedSubject = token->GetAttribute(handle, CKA_SUBJECT);
    ASSERT_NE(storedSubject, nullptr);
    EXPECT_EQ(*storedSubject, expectedSubject) << version;
    token->Logout();
    token->CloseSession();
  }
}

TEST_F(TokenTest, BadInputsFailBeforeTheModule) {
  InstallShim();
  auto token = CreateLoggedInToken();
  auto ec = GenerateKey("EC");
  EVP_PKEY* dsa = nullptr;
  {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
    EVP_PKEY_paramgen_init(ctx);
    EVP_PKEY_CTX_set_dsa_paramgen_bits(ctx, 1024);
    EVP_PKEY* params = nullptr;
    EVP_PKEY_paramgen(ctx, &params);
    EVP_PKEY_CTX_free(ctx);
    ctx = EVP_PKEY_CTX_new(params, nullptr);
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_keygen(ctx, &dsa);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(params);
  }
  EvpPkeyPtr dsaKey(dsa);
  ASSERT_NE(dsaKey, nullptr);
  const std::string good = "01", label = "x";
  sink_->Clear();
  shim_->ClearLog();
  for (const std::string bad : {"0g", "", "zz"}) {
    EXPECT_FALSE(token->CreatePublicKey(&bad, &label, ec.get())) << bad;
    EXPECT_FALSE(token->CreatePrivateKey(&bad, &label, ec.get())) << bad;
    EXPECT_FALSE(token->GenerateECKeyPair(&label, &bad, &label, &good, 0, nullptr, 0)) << bad;
  }
  EXPECT_FALSE(token->CreateCertificate(&good, &label, 0, nullptr));
  EXPECT_FALSE(token->CreatePublicKey(nullptr, &label, ec.get()));
  EXPECT_TRUE(Events().empty());
  EXPECT_FALSE(token->CreatePublicKey(&good, &label, dsaKey.get()));
  EXPECT_FALSE(token->CreatePrivateKey(&good, &label, dsaKey.get()));
  EXPECT_EQ(Events(), (std::vector<std::string>{"CreateObject ERROR! Error code: 00000007",
                                                "CreateObject ERROR! Error code: 00000007"}));
  EXPECT_EQ(shim_->CountCalls("C_CreateObject"), 0u);
  EXPECT_EQ(shim_->CountCalls("C_GenerateKeyPair"), 0u);
}

TEST_F(RsaTokenTest, SignRsaVerifiesAgainstTheCertificate) {
  InstallShim();
  auto token = CreateLoggedInToken();
  CK_OBJECT_HANDLE key = PrivateKey(*token);
  ASSERT_NE(key, 0u);
  // A DER DigestInfo of SHA-256, as the caller passes it.
  const uint8_t prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                            0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  auto hash = Sha256("document");
  std::vector<uint8_t> digestInfo(prefix, prefix + sizeof prefix);
  digestInfo.insert(digestInfo.end(), hash.begin(), hash.end());
  uint8_t signature[512];
  uint32_t length = sizeof signature;
  ASSERT_TRUE(token->SignRSA(key, nullptr, digestInfo.data(), digestInfo.size(), signature, &length));
  EXPECT_EQ(length, 256u);

  auto certificate = ReadCertificate(tokens_->CertificateDer("TvrTest"));
  EvpPkeyPtr publicKey(X509_get_pubkey(certificate.get()));
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(publicKey.get(), nullptr);
  ASSERT_EQ(EVP_PKEY_verify_init(ctx), 1);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
  EXPECT_EQ(EVP_PKEY_verify(ctx, signature, length, hash.data(), hash.size()), 1);
  EVP_PKEY_CTX_free(ctx);
}

// A module must never write past the caller's buffer, and a refused signature must not
// leave the signing operation open on the card.
TEST_F(RsaTokenTest, SmallOutputBufferIsRefusedAndNotOverrun) {
  InstallShim();
  auto token = CreateLoggedInToken();
  CK_OBJECT_HANDLE key = PrivateKey(*token);
  auto hash = Sha256("x");
  std::vector<uint8_t> buffer(300, 0xAB);
  uint32_t length = 100;
  sink_->Clear();
  EXPECT_FALSE(token->SignRSA(key, nullptr, hash.data(), hash.size(), buffer.data(), &length));
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xAB), 300);
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0].rfind("Sign ERROR! Error code: 00000150; session handle: ", 0), 0u);
  length = buffer.size();
  EXPECT_TRUE(token->SignRSA(key, nullptr, hash.data(), hash.size(), buffer.data(), &length));

  length = 10;
  std::vector<uint8_t> cipher(256);
  EXPECT_FALSE(token->Decrypt(key, cipher.data(), cipher.size(), buffer.data(), &length));
}

TEST_F(RsaTokenTest, DecryptRecoversWhatTheCertificateKeyEncrypted) {
  InstallShim();
  auto token = CreateLoggedInToken();
  CK_OBJECT_HANDLE key = PrivateKey(*token);
  auto certificate = ReadCertificate(tokens_->CertificateDer("TvrTest"));
  EvpPkeyPtr publicKey(X509_get_pubkey(certificate.get()));
  const std::string secret = "session key bytes";
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(publicKey.get(), nullptr);
  ASSERT_EQ(EVP_PKEY_encrypt_init(ctx), 1);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  std::vector<uint8_t> cipher(256);
  size_t cipherLength = cipher.size();
  ASSERT_EQ(EVP_PKEY_encrypt(ctx, cipher.data(), &cipherLength,
                             reinterpret_cast<const uint8_t*>(secret.data()), secret.size()),
            1);
  EVP_PKEY_CTX_free(ctx);

  uint8_t plain[256];
  uint32_t plainLength = sizeof plain;
  ASSERT_TRUE(token->Decrypt(key, cipher.data(), cipherLength, plain, &plainLength));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), plainLength), secret);

  token->Logout();
  token->CloseSession();
  sink_->Clear();
  plainLength = sizeof plain;
  EXPECT_FALSE(token->Decrypt(key, cipher.data(), cipherLength, plain, &plainLength));
  EXPECT_EQ(Events(), std::vector<std::string>{
                          "DecryptInit ERROR! Error code: 000000b3; session handle: 00000000"});
}

// ECDSA over the raw hash; the card returns r || s.
TEST_F(EcTokenTest, SignEcVerifiesAgainstTheCertificate) {
  InstallShim();
  auto token = CreateLoggedInToken();
  CK_OBJECT_HANDLE key = PrivateKey(*token);
  auto hash = Sha256("document");
  uint8_t signature[128];
  uint32_t length = sizeof signature;
  ASSERT_TRUE(token->SignEC(key, nullptr, hash.data(), hash.size(), signature, &length));
  ASSERT_EQ(length, 64u);
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(signature, 32, nullptr), BN_bin2bn(signature + 32, 32, nullptr));
  unsigned char* der = nullptr;
  int derLength = i2d_ECDSA_SIG(sig, &der);
  ECDSA_SIG_free(sig);
  auto certificate = ReadCertificate(tokens_->CertificateDer("TvrTest"));
  EvpPkeyPtr publicKey(X509_get_pubkey(certificate.get()));
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(publicKey.get(), nullptr);
  ASSERT_EQ(EVP_PKEY_verify_init(ctx), 1);
  EXPECT_EQ(EVP_PKEY_verify(ctx, der, derLength, hash.data(), hash.size()), 1);
  EVP_PKEY_CTX_free(ctx);
  OPENSSL_free(der);
}

// A key that wants its PIN for every signature: only the 2.20 class logs in again.
TEST_F(TokenTest, AlwaysAuthenticateKeySignsOnlyWithTheNewestClass) {
  InstallShim();
  {
    auto token = CreateLoggedInToken();
    // P-256 named curve.
    uint8_t params[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
    CK_BBOOL yes = CK_TRUE;
    uint8_t id[] = {0x0a};
    CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &yes, 1}, {CKA_EC_PARAMS, params, sizeof params},
                          {CKA_ID, id, 1}, {CKA_VERIFY, &yes, 1}};
    CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_ID, id, 1},
                           {CKA_SIGN, &yes, 1}, {CKA_ALWAYS_AUTHENTICATE, &yes, 1}};
    CK_MECHANISM mechanism = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE h1, h2;
    ASSERT_EQ(token->GetFunctionList()->C_GenerateKeyPair(token->GetSession(), &mechanism, pub, 4,
                                                          priv, 5, &h1, &h2),
              CKR_OK);
  }
  auto hash = Sha256("x");
  SecureString pin("1234");
  struct Case {
    const char* version;
    bool withPin;
    bool signs;
  };
  for (const Case& c : {Case{"2.01", true, false}, Case{"2.11", true, false},
                        Case{"2.20", true, true}, Case{"2.20", false, false}}) {
    auto token = CreateLoggedInToken(c.version);
    auto objects = token->ReadObjects();
    CK_OBJECT_HANDLE key = FindObjectHandleById(objects->privateKeys, "0a");
    ASSERT_NE(key, 0u);
    uint8_t signature[128];
    uint32_t length = sizeof signature;
    EXPECT_EQ(token->SignEC(key, c.withPin ? &pin : nullptr, hash.data(), hash.size(), signature,
                            &length),
              c.signs)
        << c.version << (c.withPin ? " with PIN" : " without PIN");
    EXPECT_TRUE(token->IsLoggedIn());  // the context log-in leaves the flag alone
    token->Logout();
    token->CloseSession();
  }
}

TEST_F(TokenTest, MechanismNamesFollowTheVersion) {
  InstallShim();
  struct Row {
    const char* mechanism;
    const char* v201;
    const char* v211;
    const char* v220;
  };
  const Row rows[] = {
      {"RSA_PKCS", "RSA_PKCS", "RSA_PKCS", "RSA_PKCS"},
      {"ECDSA", "00001041", "CKM_ECDSA", "CKM_ECDSA"},
      {"AES_CBC", "00001082", "AES_CBC", "AES_CBC"},
      {"SHA256_RSA_PKCS", "00000040", "00000040", "SHA256_RSA_PKCS"},
      {"SHA256", "00000250", "00000250", "SHA256"},
  };
  std::map<std::string, std::set<std::string>> names;  // version -> names without ranges
  for (const char* version : {"2.01", "2.10", "2.11", "2.20"}) {
    for (const std::string& entry : CreateTokenOnSlot(version)->GetMechanismList())
      names[version].insert(entry.substr(0, entry.find(" (")));
  }
  for (const Row& r : rows) {
    EXPECT_TRUE(names["2.01"].count(r.v201)) << r.mechanism;
    EXPECT_TRUE(names["2.10"].count(r.v201)) << r.mechanism;
    EXPECT_TRUE(names["2.11"].count(r.v211)) << r.mechanism;
    EXPECT_TRUE(names["2.20"].count(r.v220)) << r.mechanism;
  }
  auto entries = CreateTokenOnSlot("2.20")->GetMechanismList();
  EXPECT_NE(std::find(entries.begin(), entries.end(), "RSA_PKCS (512 - 16384)"), entries.end());
}

TEST_F(TokenTest, GeneratedKeyPairsCarryTheirUsage) {
  InstallShim();
  auto token = CreateLoggedInToken();
  uint8_t params[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
  const std::string signId = "51", encId = "e1", label = "gen";
  ASSERT_TRUE(token->GenerateECKeyPair(&label, &signId, &label, &signId, 2, params, sizeof params));
  ASSERT_TRUE(token->GenerateECKeyPair(&label, &encId, &label, &encId, 1, params, sizeof params));
  const uint8_t exponent[] = {1, 0, 1};
  const std::string rsaId = "a5";
  ASSERT_TRUE(token->GenerateRSAKeyPair(&label, &rsaId, &label, &rsaId, 0, 1024, exponent, 3));
  auto objects = token->ReadObjects();
  auto* sign = objects->FindPublicKey(FindObjectHandleById(objects->publicKeys, "51"));
  auto* enc = objects->FindPublicKey(FindObjectHandleById(objects->publicKeys, "e1"));
  auto* rsa = objects->FindPublicKey(FindObjectHandleById(objects->publicKeys, "a5"));
  ASSERT_TRUE(sign && enc && rsa);
  EXPECT_TRUE(sign->signOnly);
  EXPECT_FALSE(enc->signOnly);
  EXPECT_FALSE(rsa->signOnly);
  EXPECT_NE(sign->publicKey, nullptr);
  EXPECT_EQ(EVP_PKEY_get_bits(rsa->publicKey.get()), 1024);
  EXPECT_FALSE(objects->FindPrivateKey(FindObjectHandleById(objects->privateKeys, "51"))->extractable);

  sink_->Clear();
  uint8_t bogus[] = {0x05, 0x00};
  EXPECT_FALSE(token->GenerateECKeyPair(&label, &signId, &label, &signId, 2, bogus, sizeof bogus));
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0].rfind("GenerateKeyPair ERROR! Error code: ", 0), 0u);
}

TEST_F(TokenTest, PinsChangeAndInitialise) {
  InstallShim();
  auto token = CreateTokenOnSlot("2.20");
  ASSERT_TRUE(token->OpenSession(true));
  SecureString user("1234"), changed("5678"), wrong("0000"), so("12345678"), reset("4321");
  ASSERT_TRUE(token->Login(&user, CKU_USER));
  sink_->Clear();
  EXPECT_FALSE(token->SetPIN(&wrong, &changed));
  EXPECT_EQ(Events(), std::vector<std::string>{"SetPIN ERROR! Error code: 000000a0"});
  ASSERT_TRUE(token->SetPIN(&user, &changed));
  ASSERT_TRUE(token->Logout());
  EXPECT_FALSE(token->Login(&user, CKU_USER));
  ASSERT_TRUE(token->Login(&changed, CKU_USER));
  ASSERT_TRUE(token->Logout());

  ASSERT_TRUE(token->Login(&so, CKU_SO));
  ASSERT_TRUE(token->InitPIN(&reset));
  ASSERT_TRUE(token->Logout());
  EXPECT_TRUE(token->Login(&reset, CKU_USER));
  token->Logout();
  sink_->Clear();
  EXPECT_FALSE(token->InitPIN(&reset));  // needs the security officer
  EXPECT_EQ(Events(), std::vector<std::string>{"InitPIN ERROR! Error code: 00000101"});
}

TEST_F(TokenTest, GetAttributeGivesRawBytesOrNothing) {
  InstallShim();
  auto token = CreateLoggedInToken();
  const std::string label("la\0bel", 6), app = "a";
  ASSERT_TRUE(token->CreateDataObject(false, &label, &app, nullptr, 0));
  auto objects = token->ReadObjects();
  CK_OBJECT_HANDLE handle = objects->dataObjects.begin()->first;
  EXPECT_TRUE(objects->dataObjects.begin()->second->value.empty());
  auto raw = token->GetAttribute(handle, CKA_LABEL);
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(*raw, label);
  sink_->Clear();
  EXPECT_EQ(token->GetAttribute(handle, CKA_MODULUS), nullptr);
  EXPECT_EQ(token->GetAttribute(0xdead, CKA_LABEL), nullptr);
  EXPECT_TRUE(Events().empty());
}

}  // namespace
