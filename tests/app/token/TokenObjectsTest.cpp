#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <fstream>
#include <iterator>
#include <map>

#include "SharedUtilities.h"
#include "TokenTestFixture.h"

namespace {

using TvrCommon::SecureString;

class TokenWithKeyTest : public TokenTest {
 protected:
  TvrTest::TokenSpec InitialToken() const override {
    TvrTest::TokenSpec spec;  // EC key pair and its certificate, id 01, label TvrKey
    return spec;
  }
};

TEST_F(TokenTest, TokenInfoCarriesEveryField) {
  InstallShim();
  auto token = CreateTokenOnSlot("2.20");
  auto info = token->GetTokenInfo();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->label, "TvrTest");
  EXPECT_EQ(info->manufacturerId, "SoftHSM project");
  EXPECT_EQ(info->model, "SoftHSM v2");
  EXPECT_EQ(info->serialNumber.size(), 16u);
  EXPECT_TRUE(info->rng);
  EXPECT_FALSE(info->writeProtected);
  EXPECT_TRUE(info->loginRequired);
  EXPECT_TRUE(info->userPinInitialized);
  EXPECT_FALSE(info->protectedAuthenticationPath);
  EXPECT_FALSE(info->userPinLocked);
  EXPECT_NE(info->flags & CKF_TOKEN_INITIALIZED, 0u);
  EXPECT_EQ(info->minPinLen, 4u);
  EXPECT_EQ(info->maxPinLen, 255u);
  EXPECT_NE(info->totalPublicMemory, 0u);
  EXPECT_GT(info->hardwareVersion.major + info->firmwareVersion.major, 0);

  shim_->InjectRv("C_GetTokenInfo", CKR_DEVICE_REMOVED);
  EXPECT_EQ(token->GetTokenInfo(), nullptr);
  EXPECT_EQ(Events().back(), "GETTOKENINFO ERROR! Error code: 00000032");
}

// Cryptoki 2.01 has no PIN-status flags: its class ignores bits 16-23.
TEST_F(TokenTest, PinStatusFlagsDependOnTheVersion) {
  InstallShim();
  shim_->SetOption("token_flags_set", "0x00ff0000");
  for (const char* version : {"2.01", "2.10", "2.11", "2.20"}) {
    const bool expected = std::string(version) != "2.01";
    auto info = CreateTokenOnSlot(version)->GetTokenInfo();
    ASSERT_NE(info, nullptr) << version;
    for (bool flag : {info->userPinCountLow, info->userPinFinalTry, info->userPinLocked,
                      info->userPinToBeChanged, info->soPinCountLow, info->soPinFinalTry,
                      info->soPinLocked, info->soPinToBeChanged})
      EXPECT_EQ(flag, expected) << version;
    EXPECT_NE(info->flags & 0x00ff0000u, 0u) << version;  // the raw flags stay as reported
  }
}

TEST_F(TokenTest, EmptyTokenMeansFourSearchesAndNothingElse) {
  InstallShim();
  auto token = CreateLoggedInToken();
  shim_->ClearLog();
  auto objects = token->ReadObjects();
  EXPECT_TRUE(objects->certificates.empty() && objects->publicKeys.empty() &&
              objects->privateKeys.empty() && objects->dataObjects.empty());
  EXPECT_EQ(shim_->CountCalls("C_FindObjectsInit"), 4u);
  EXPECT_EQ(shim_->CountCalls("C_FindObjects"), 4u);
  EXPECT_EQ(shim_->CountCalls("C_FindObjectsFinal"), 4u);
  EXPECT_EQ(shim_->CountCalls("C_GetAttributeValue"), 0u);
}

TEST_F(TokenWithKeyTest, ReadObjectsOfAPreparedToken) {
  // An RSA key pair and a data object named by the vendor tools, before our module loads.
  Pkcs11Tool({"--keypairgen", "--key-type", "rsa:2048", "--id", "45435f", "--label", "RsaKey"});
  const std::string payload = ::testing::TempDir() + "/csp-name.bin";
  std::ofstream(payload) << "container-1";
  Pkcs11Tool({"--write-object", payload, "--type", "data", "--label", "CSP",
              "--application-label", "CSP"});
  InstallShim();
  auto token = CreateLoggedInToken();
  // A label with a zero byte inside.
  const std::string zeroLabel("ab\0cd", 5), app = "App";
  const uint8_t value[] = {1, 2, 3};
  ASSERT_TRUE(token->CreateDataObject(false, &zeroLabel, &app, value, 3));
  sink_->Clear();

  auto objects = token->ReadObjects();
  EXPECT_TRUE(Events().empty());
  ASSERT_EQ(objects->certificates.size(), 1u);
  ASSERT_EQ(objects->publicKeys.size(), 2u);
  ASSERT_EQ(objects->privateKeys.size(), 2u);
  ASSERT_EQ(objects->dataObjects.size(), 2u);

  const auto& [certHandle, cert] = *objects->certificates.begin();
  EXPECT_EQ(cert->GetId(), "01");
  EXPECT_EQ(cert->label, "TvrKey");
  ASSERT_NE(cert->certificate, nullptr);
  ASSERT_NE(cert->publicKey, nullptr);
  EXPECT_EQ(EVP_PKEY_get_base_id(cert->publicKey.get()), EVP_PKEY_EC);
  ASSERT_NE(cert->size, nullptr);
  EXPECT_GT(*cert->size, 0u);
  std::ifstream der(tokens_->CertificateDer("TvrTest"), std::ios::binary);
  std::vector<uint8_t> expected((std::istreambuf_iterator<char>(der)), {});
  EXPECT_EQ(cert->value, expected);
  EXPECT_EQ(cert->valueLength, expected.size());

  // The thumbprint is what openssl prints, in lower case without colons.
  std::string fingerprint;
  ASSERT_EQ(TvrTest::RunCommand({TVR_OPENSSL_CLI, "x509", "-inform", "DER", "-in",
                                 tokens_->CertificateDer("TvrTest"), "-noout", "-fingerprint",
                                 "-sha1"},
                                &fingerprint),
            0);
  std::string hex;
  for (char c : fingerprint.substr(fingerprint.find('=') + 1))
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(std::tolower(c));
  EXPECT_EQ(cert->GetThumbprint(), hex);

  const CK_OBJECT_HANDLE ecPublic = FindObjectHandleById(objects->publicKeys, "01");
  const CK_OBJECT_HANDLE rsaPublic = FindObjectHandleById(objects->publicKeys, "45435f");
  ASSERT_NE(ecPublic, 0u);
  ASSERT_NE(rsaPublic, 0u);
  EXPECT_EQ(FindObjectHandleById(objects->publicKeys, "45435F"), 0u);  // exact text only
  EXPECT_EQ(objects->FindCertificate(ecPublic), nullptr);
  auto* rsa = objects->FindPublicKey(rsaPublic);
  EXPECT_EQ(rsa->label, "RsaKey");
  ASSERT_NE(rsa->publicKey, nullptr);
  EXPECT_EQ(EVP_PKEY_get_bits(rsa->publicKey.get()), 2048);
  auto* ec = objects->FindPublicKey(ecPublic);
  ASSERT_NE(ec->publicKey, nullptr);
  EXPECT_EQ(EVP_PKEY_eq(ec->publicKey.get(), cert->publicKey.get()), 1);
  EXPECT_NE(FindObjectHandleById(objects->privateKeys, "45435f"), 0u);

  std::map<std::string, DataObject*> data;
  for (auto& [handle, record] : objects->dataObjects) {
    EXPECT_EQ(record->id, nullptr);
    data[record->label] = record.get();
  }
  ASSERT_TRUE(data.count("CSP") && data.count("ab"));
  EXPECT_EQ(data["CSP"]->application, "CSP");
  EXPECT_EQ(std::string(data["CSP"]->value.begin(), data["CSP"]->value.end()), "container-1");
  EXPECT_EQ(data["ab"]->application, "App");
  EXPECT_EQ(data["ab"]->value, std::vector<uint8_t>({1, 2, 3}));
}

TEST_F(TokenWithKeyTest, PrivateObjectsNeedALogIn) {
  InstallShim();
  auto token = CreateTokenOnSlot("2.20");
  ASSERT_TRUE(token->OpenSession(false));
  auto objects = token->ReadObjects();
  EXPECT_EQ(objects->certificates.size(), 1u);
  EXPECT_EQ(objects->publicKeys.size(), 1u);
  EXPECT_TRUE(objects->privateKeys.empty());
}

TEST_F(TokenWithKeyTest, AFailingClassLeavesTheOthersRead) {
  InstallShim();
  auto token = CreateLoggedInToken();
  sink_->Clear();
  shim_->SetOption("find_fail.2", "0x30");  // CKO_PUBLIC_KEY
  auto objects = token->ReadObjects();
  EXPECT_EQ(Events(), std::vector<std::string>{"PUBLIC KEY FindObjectsInit ERROR! Error code: 00000030"});
  EXPECT_EQ(objects->certificates.size(), 1u);
  EXPECT_TRUE(objects->publicKeys.empty());
  EXPECT_EQ(objects->privateKeys.size(), 1u);
  shim_->ClearOption("find_fail.2");

  sink_->Clear();
  shim_->InjectRv("C_GetAttributeValue", CKR_DEVICE_ERROR);
  objects = token->ReadObjects();
  EXPECT_TRUE(objects->certificates.empty() && objects->privateKeys.empty());
  EXPECT_EQ(Events(), (std::vector<std::string>{
                          "CERTIFICATE GetAttributeValue ERROR! Error code: 00000030",
                          "PUBLIC KEY GetAttributeValue ERROR! Error code: 00000030",
                          "PRIVATE KEY GetAttributeValue ERROR! Error code: 00000030"}));
  shim_->ClearRv("C_GetAttributeValue");

  sink_->Clear();
  shim_->InjectRv("C_FindObjects", CKR_DEVICE_ERROR);
  objects = token->ReadObjects();
  EXPECT_EQ(Events(), (std::vector<std::string>{
                          "CERTIFICATE FindObjects ERROR! Error code: 00000030",
                          "PUBLIC KEY FindObjects ERROR! Error code: 00000030",
                          "PRIVATE KEY FindObjects ERROR! Error code: 00000030",
                          "DATA FindObjects ERROR! Error code: 00000030"}));
  EXPECT_TRUE(objects->certificates.empty() && objects->privateKeys.empty());
}

// A P-256 point, uncompressed (65 bytes), and its OCTET STRING form.
struct EcPoint {
  EvpPkeyPtr key;
  std::vector<uint8_t> raw;
  std::vector<uint8_t> wrapped;
};

// A fresh key whose raw point's second byte is secondByte (any when negative).
EcPoint MakeEcPoint(int secondByte = -1) {
  for (int attempt = 0; attempt < 100000; ++attempt) {
    EcPoint point;
    point.key.reset(EVP_EC_gen("P-256"));
    unsigned char* bytes = nullptr;
    const size_t length = EVP_PKEY_get1_encoded_public_key(point.key.get(), &bytes);
    point.raw.assign(bytes, bytes + length);
    OPENSSL_free(bytes);
    if (secondByte >= 0 && point.raw[1] != secondByte) continue;
    point.wrapped = {0x04, static_cast<uint8_t>(point.raw.size())};
    point.wrapped.insert(point.wrapped.end(), point.raw.begin(), point.raw.end());
    return point;
  }
  ADD_FAILURE() << "no point with second byte " << secondByte;
  return {};
}

// Creates a public-key object of that type with these attributes on top of the class, key
// type, CKA_TOKEN and CKA_ID.
void CreatePublicKeyObject(PKCS11Base& token, CK_KEY_TYPE keyType, uint8_t id,
                           std::vector<CK_ATTRIBUTE> attributes) {
  static CK_OBJECT_CLASS objectClass = CKO_PUBLIC_KEY;
  static CK_BBOOL yes = CK_TRUE;
  static CK_KEY_TYPE types[256];
  static uint8_t ids[256];
  types[id] = keyType;
  ids[id] = id;
  attributes.insert(attributes.begin(), {{CKA_CLASS, &objectClass, sizeof objectClass},
                                         {CKA_KEY_TYPE, &types[id], sizeof(CK_KEY_TYPE)},
                                         {CKA_TOKEN, &yes, 1},
                                         {CKA_ID, &ids[id], 1}});
  CK_OBJECT_HANDLE handle = 0;
  ASSERT_EQ(token.GetFunctionList()->C_CreateObject(token.GetSession(), attributes.data(),
                                                    static_cast<CK_ULONG>(attributes.size()), &handle),
            CKR_OK);
}

uint8_t kP256Parameters[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};

// Modules differ in whether CKA_EC_POINT carries its OCTET STRING wrapper, and the first
// bytes cannot tell: a raw point 04 3F ... also parses as a 63-byte OCTET STRING. A point
// that decodes neither way leaves the record without a key.
TEST_F(TokenTest, EcPointsWrappedRawOrBroken) {
  InstallShim();
  auto token = CreateLoggedInToken();
  const EcPoint any = MakeEcPoint();
  const EcPoint misleading = MakeEcPoint(0x3F);
  std::vector<uint8_t> broken = {0x04, 0x03, 0x04, 0x01, 0x02};
  struct Case {
    uint8_t id;
    const std::vector<uint8_t>* point;
    EVP_PKEY* expected;
  };
  const Case cases[] = {{1, &any.wrapped, any.key.get()},
                        {2, &any.raw, any.key.get()},
                        {3, &broken, nullptr},
                        {4, &misleading.raw, misleading.key.get()},
                        {5, &misleading.wrapped, misleading.key.get()}};
  for (const Case& c : cases) {
    CreatePublicKeyObject(*token, CKK_EC, c.id,
                          {{CKA_EC_PARAMS, kP256Parameters, sizeof kP256Parameters},
                           {CKA_EC_POINT, const_cast<uint8_t*>(c.point->data()), c.point->size()}});
  }
  auto objects = token->ReadObjects();
  EXPECT_EQ(objects->publicKeys.size(), std::size(cases));
  for (const Case& c : cases) {
    const std::string id = BytesToHex(&c.id, 1);
    const PublicKeyObject* record =
        objects->FindPublicKey(FindObjectHandleById(objects->publicKeys, id));
    ASSERT_NE(record, nullptr) << id;
    if (!c.expected) {
      EXPECT_EQ(record->publicKey, nullptr) << id;
    } else {
      ASSERT_NE(record->publicKey, nullptr) << id;
      EXPECT_EQ(EVP_PKEY_eq(record->publicKey.get(), c.expected), 1) << id;
    }
  }
}

// Sign-only takes all three flags: verify, and neither encrypt nor wrap.
TEST_F(TokenTest, SignOnlyNeedsVerifyWithoutEncryptAndWrap) {
  InstallShim();
  auto token = CreateLoggedInToken();
  const EcPoint point = MakeEcPoint();
  struct Case {
    CK_BBOOL encrypt, verify, wrap;
    bool signOnly;
  };
  const Case cases[] = {{CK_FALSE, CK_TRUE, CK_FALSE, true},
                        {CK_FALSE, CK_TRUE, CK_TRUE, false},
                        {CK_TRUE, CK_TRUE, CK_FALSE, false},
                        {CK_FALSE, CK_FALSE, CK_FALSE, false}};
  uint8_t id = 1;
  for (Case c : cases) {
    CreatePublicKeyObject(*token, CKK_EC, id++,
                          {{CKA_EC_PARAMS, kP256Parameters, sizeof kP256Parameters},
                           {CKA_EC_POINT, const_cast<uint8_t*>(point.wrapped.data()), point.wrapped.size()},
                           {CKA_ENCRYPT, &c.encrypt, 1},
                           {CKA_VERIFY, &c.verify, 1},
                           {CKA_WRAP, &c.wrap, 1}});
  }
  auto objects = token->ReadObjects();
  id = 1;
  for (const Case& c : cases) {
    const std::string hex = BytesToHex(&id, 1);
    ++id;
    const PublicKeyObject* record =
        objects->FindPublicKey(FindObjectHandleById(objects->publicKeys, hex));
    ASSERT_NE(record, nullptr) << hex;
    EXPECT_EQ(record->signOnly, c.signOnly) << hex;
  }
}

// A key type with no key of ours (DSA) stays in the container without a key, and its
// parts are not asked for.
TEST_F(TokenTest, DsaPublicKeyIsReadWithoutAKey) {
  InstallShim();
  auto token = CreateLoggedInToken();
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
  EVP_PKEY* parameters = nullptr;
  ASSERT_EQ(EVP_PKEY_paramgen_init(context), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_dsa_paramgen_bits(context, 1024), 1);
  ASSERT_EQ(EVP_PKEY_paramgen(context, &parameters), 1);
  EVP_PKEY_CTX_free(context);
  EvpPkeyPtr held(parameters);
  std::map<std::string, std::vector<uint8_t>> parts;
  for (const char* name : {"p", "q", "g"}) {
    BIGNUM* value = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(parameters, name, &value), 1);
    parts[name].resize(static_cast<size_t>(BN_num_bytes(value)));
    BN_bn2bin(value, parts[name].data());
    BN_free(value);
  }
  std::vector<uint8_t> y = parts["g"];  // any value below p will do for reading
  CreatePublicKeyObject(*token, CKK_DSA, 7,
                        {{CKA_PRIME, parts["p"].data(), parts["p"].size()},
                         {CKA_SUBPRIME, parts["q"].data(), parts["q"].size()},
                         {CKA_BASE, parts["g"].data(), parts["g"].size()},
                         {CKA_VALUE, y.data(), y.size()}});
  shim_->ClearLog();
  sink_->Clear();
  auto objects = token->ReadObjects();
  ASSERT_EQ(objects->publicKeys.size(), 1u);
  const PublicKeyObject* record = objects->publicKeys.begin()->second.get();
  EXPECT_EQ(record->GetId(), "07");
  EXPECT_EQ(record->publicKey, nullptr);
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(shim_->CountCalls("C_GetAttributeValue"), 2u);  // the one record: lengths, values
}

}  // namespace
