#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <fstream>
#include <iterator>

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

// Modules differ in whether CKA_EC_POINT carries its OCTET STRING wrapper; a point that
// decodes neither way leaves the record without a key.
TEST_F(TokenTest, EcPointsWrappedRawOrBroken) {
  InstallShim();
  auto token = CreateLoggedInToken();
  EvpPkeyPtr key(EVP_EC_gen("P-256"));
  unsigned char* point = nullptr;
  size_t pointLength = EVP_PKEY_get1_encoded_public_key(key.get(), &point);
  ASSERT_EQ(pointLength, 65u);
  std::vector<uint8_t> raw(point, point + pointLength);
  OPENSSL_free(point);
  std::vector<uint8_t> wrapped(raw.size() + 2);  // OCTET STRING of 65 bytes
  wrapped[0] = 0x04;
  wrapped[1] = 0x41;
  std::copy(raw.begin(), raw.end(), wrapped.begin() + 2);
  std::vector<uint8_t> broken = {0x04, 0x03, 0x04, 0x01, 0x02};
  uint8_t params[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
  struct Case {
    uint8_t id;
    std::vector<uint8_t>* point;
  };
  for (Case c : {Case{1, &wrapped}, Case{2, &raw}, Case{3, &broken}}) {
    CK_OBJECT_CLASS objectClass = CKO_PUBLIC_KEY;
    CK_KEY_TYPE keyType = CKK_EC;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &objectClass, sizeof objectClass},
                        {CKA_KEY_TYPE, &keyType, sizeof keyType},
                        {CKA_TOKEN, &yes, 1},
                        {CKA_ID, &c.id, 1},
                        {CKA_EC_PARAMS, params, sizeof params},
                        {CKA_EC_POINT, c.point->data(), c.point->size()}};
    CK_OBJECT_HANDLE handle = 0;
    ASSERT_EQ(token->GetFunctionList()->C_CreateObject(token->GetSession(), t, 6, &handle), CKR_OK);
  }
  auto objects = token->ReadObjects();
  auto keyOf = [&](const char* id) {
    return objects->FindPublicKey(FindObjectHandleById(objects->publicKeys, id))->publicKey.get();
  };
  ASSERT_NE(keyOf("01"), nullptr);
  ASSERT_NE(keyOf("02"), nullptr);
  EXPECT_EQ(EVP_PKEY_eq(keyOf("01"), key.get()), 1);
  EXPECT_EQ(EVP_PKEY_eq(keyOf("02"), key.get()), 1);
  EXPECT_EQ(keyOf("03"), nullptr);
  EXPECT_EQ(objects->publicKeys.size(), 3u);
}

}  // namespace
