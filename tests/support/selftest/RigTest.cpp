// Shows that the PKCS#11 rig does what the token tests rely on.
#include "P11Rig.h"

#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace {

using TvrTest::InstalledShim;
using TvrTest::ShimOptions;
using TvrTest::SoftHsmTokens;
using TvrTest::TokenSpec;

class LoadedModule {
 public:
  explicit LoadedModule(const std::string& path) : handle_(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (!handle_) throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
  }
  ~LoadedModule() { Close(); }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  void Close() {
    if (handle_) ::dlclose(handle_);
    handle_ = nullptr;
  }
  template <typename Function>
  Function Symbol(const char* name) const {
    return reinterpret_cast<Function>(::dlsym(handle_, name));
  }
  CK_FUNCTION_LIST* List() const {
    auto getList = Symbol<CK_C_GetFunctionList>("C_GetFunctionList");
    if (!getList) throw std::runtime_error("no C_GetFunctionList");
    CK_FUNCTION_LIST* list = nullptr;
    if (getList(&list) != CKR_OK || !list) throw std::runtime_error("C_GetFunctionList failed");
    return list;
  }
  // The function list, initialised; the test finalises it.
  CK_FUNCTION_LIST* Initialised() const {
    CK_FUNCTION_LIST* list = List();
    if (list->C_Initialize(nullptr) != CKR_OK) throw std::runtime_error("C_Initialize failed");
    return list;
  }

 private:
  void* handle_;
};

std::vector<CK_SLOT_ID> Slots(CK_FUNCTION_LIST* p11) {
  CK_ULONG count = 0;
  EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
  std::vector<CK_SLOT_ID> slots(count);
  EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, slots.data(), &count), CKR_OK);
  slots.resize(count);
  return slots;
}

std::string SlotDescription(CK_FUNCTION_LIST* p11, CK_SLOT_ID slot) {
  CK_SLOT_INFO info{};
  EXPECT_EQ(p11->C_GetSlotInfo(slot, &info), CKR_OK);
  return std::string(reinterpret_cast<const char*>(info.slotDescription), sizeof info.slotDescription);
}

std::string Padded(std::string text, size_t width) {
  text.resize(width, ' ');
  return text;
}

CK_SLOT_ID SlotOfToken(CK_FUNCTION_LIST* p11, const std::string& label) {
  for (const CK_SLOT_ID slot : Slots(p11)) {
    CK_TOKEN_INFO info{};
    if (p11->C_GetTokenInfo(slot, &info) == CKR_OK &&
        std::string(reinterpret_cast<const char*>(info.label), sizeof info.label) == Padded(label, 32)) {
      return slot;
    }
  }
  throw std::runtime_error("no slot with token " + label);
}

CK_STATE SessionState(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session) {
  CK_SESSION_INFO info{};
  EXPECT_EQ(p11->C_GetSessionInfo(session, &info), CKR_OK);
  return info.state;
}

std::vector<CK_OBJECT_HANDLE> FindObjects(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls,
                                          const std::string& id) {
  CK_ATTRIBUTE query[] = {{CKA_CLASS, &cls, sizeof cls},
                          {CKA_ID, const_cast<char*>(id.data()), static_cast<CK_ULONG>(id.size())}};
  EXPECT_EQ(p11->C_FindObjectsInit(session, query, 2), CKR_OK);
  CK_OBJECT_HANDLE found[8];
  CK_ULONG count = 0;
  EXPECT_EQ(p11->C_FindObjects(session, found, 8, &count), CKR_OK);
  EXPECT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
  return {found, found + count};
}

std::string Attribute(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                      CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE attribute{type, nullptr, 0};
  EXPECT_EQ(p11->C_GetAttributeValue(session, object, &attribute, 1), CKR_OK);
  std::string value(attribute.ulValueLen, '\0');
  attribute.pValue = value.data();
  EXPECT_EQ(p11->C_GetAttributeValue(session, object, &attribute, 1), CKR_OK);
  return value;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(RigEnvironment, InstalledModuleIsFoundByBareNameThroughTheProcessModuleDir) {
  const std::string dir = TvrTest::ModuleDir();
  const std::string loaderPath = std::getenv("LD_LIBRARY_PATH");
  EXPECT_EQ(loaderPath.rfind(dir + ":", 0) == 0 || loaderPath == dir, true) << loaderPath;

  InstalledShim shim("libgclib.so", {});
  LoadedModule module("libgclib.so");
  Dl_info info{};
  ASSERT_NE(::dladdr(reinterpret_cast<void*>(module.Symbol<CK_C_GetInfo>("C_GetInfo")), &info), 0);
  EXPECT_EQ(std::string(info.dli_fname), shim.Path());
}

TEST(RigEnvironment, TemporaryFilesLiveBesideTheModuleDirSoTheTestMainRemovesThem) {
  const TvrTest::TempDir temp;
  const std::filesystem::path root = std::filesystem::path(TvrTest::ModuleDir()).parent_path();
  EXPECT_EQ(std::filesystem::path(temp.Path()).parent_path().parent_path(), root);
}

TEST(RigEnvironment, RunCommandReportsExitCodeAndOutput) {
  std::string output;
  EXPECT_EQ(TvrTest::RunCommand({TVR_OPENSSL_CLI, "version"}, &output), 0);
  EXPECT_EQ(output.rfind("OpenSSL", 0), 0u) << output;
  EXPECT_EQ(TvrTest::RunCommand({TVR_OPENSSL_CLI, "x509", "-in", "/nonexistent/cert.pem"}, &output), 1);
  EXPECT_NE(output.find("/nonexistent/cert.pem"), std::string::npos) << output;
  EXPECT_EQ(TvrTest::RunCommand({"/nonexistent/tool"}), 127);
}

class ShimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tokens_.AddToken({.label = "TokA"});
    tokens_.AddToken({.label = "TokB", .withKeyAndCertificate = false});
  }
  SoftHsmTokens tokens_;
};

TEST_F(ShimTest, ReportsTheConfiguredCryptokiVersionInGetInfoAndTheList) {
  struct Case {
    std::string configured;
    CK_BYTE major;
    CK_BYTE minor;
  };
  const Case cases[] = {{"", 2, 40}, {"2.1", 2, 1}, {"2.01", 2, 1}, {"2.10", 2, 10}, {"2.20", 2, 20}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("version \"" + c.configured + "\"");
    InstalledShim shim("libversion" + std::to_string(n++) + ".so", {.version = c.configured});
    LoadedModule module(shim.Path());
    CK_FUNCTION_LIST* p11 = module.List();
    EXPECT_EQ(p11->version.major, c.major);
    EXPECT_EQ(p11->version.minor, c.minor);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    CK_INFO info{};
    ASSERT_EQ(module.Symbol<CK_C_GetInfo>("C_GetInfo")(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, c.major);
    EXPECT_EQ(info.cryptokiVersion.minor, c.minor);
    // The configuration is read afresh at every call.
    shim.SetVersion("2.11");
    ASSERT_EQ(p11->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.minor, 11);
    EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  }
}

TEST_F(ShimTest, NamesTheSlotsOfTwoTokensAfterOneReaderAndHidesTheFreeSlot) {
  const std::string reader = "Virtual PCD 00 00";
  InstalledShim shim("libgclib.so", {.readers = {{"TokA", reader}, {"TokB", reader}}});
  LoadedModule module(shim.Path());
  CK_FUNCTION_LIST* p11 = module.Initialised();

  CK_ULONG count = 0;
  ASSERT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
  EXPECT_EQ(count, 2u);
  CK_SLOT_ID one[1];
  count = 1;
  EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, one, &count), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 2u);

  const auto slots = Slots(p11);
  ASSERT_EQ(slots.size(), 2u);
  for (const CK_SLOT_ID slot : slots) EXPECT_EQ(SlotDescription(p11, slot), Padded(reader, 64));
  EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
}

TEST_F(ShimTest, ListsTheFreeSlotUnderItsOwnNameWhenAsked) {
  InstalledShim shim("libgclib.so", {.readers = {{"TokA", "Reader A"}}, .hideFreeSlot = false});
  LoadedModule module(shim.Path());
  CK_FUNCTION_LIST* p11 = module.Initialised();
  std::vector<std::string> descriptions;
  for (const CK_SLOT_ID slot : Slots(p11)) descriptions.push_back(SlotDescription(p11, slot));
  ASSERT_EQ(descriptions.size(), 3u);
  EXPECT_EQ(std::count(descriptions.begin(), descriptions.end(), Padded("Reader A", 64)), 1);
  EXPECT_EQ(std::count_if(descriptions.begin(), descriptions.end(),
                          [](const std::string& d) { return d.rfind("SoftHSM slot ID", 0) == 0; }),
            2);
  EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
}

TEST_F(ShimTest, InjectedReturnValueNeverReachesSoftHsm) {
  InstalledShim shim("libgclib.so", {});
  LoadedModule module(shim.Path());
  CK_FUNCTION_LIST* p11 = module.Initialised();
  CK_SESSION_HANDLE session = 0;
  ASSERT_EQ(p11->C_OpenSession(SlotOfToken(p11, "TokA"), CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
  CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};

  shim.InjectRv("C_Login", CKR_PIN_INCORRECT);
  EXPECT_EQ(p11->C_Login(session, CKU_USER, pin, sizeof pin), CKR_PIN_INCORRECT);
  EXPECT_EQ(SessionState(p11, session), CKS_RO_PUBLIC_SESSION);

  shim.ClearRv("C_Login");
  EXPECT_EQ(p11->C_Login(session, CKU_USER, pin, sizeof pin), CKR_OK);
  EXPECT_EQ(SessionState(p11, session), CKS_RO_USER_FUNCTIONS);
  EXPECT_EQ(shim.CountCalls("C_Login"), 2u);

  shim.InjectRv("C_Finalize", 0x5);
  EXPECT_EQ(p11->C_Finalize(nullptr), 0x5u);
  shim.ClearRv("C_Finalize");
  EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
}

TEST_F(ShimTest, CallLogRunsFromLoadToUnload) {
  InstalledShim shim("libgclib.so", {});
  LoadedModule module(shim.Path());
  CK_FUNCTION_LIST* p11 = module.Initialised();
  CK_INFO info{};
  ASSERT_EQ(p11->C_GetInfo(&info), CKR_OK);
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  module.Close();
  EXPECT_EQ(shim.CallLog(), (std::vector<std::string>{"load", "C_GetFunctionList", "C_Initialize", "C_GetInfo",
                                                      "C_Finalize", "unload"}));
  shim.ClearLog();
  EXPECT_TRUE(shim.CallLog().empty());
}

TEST_F(ShimTest, BuildWithoutFunctionListStillExportsTheInfoFunctions) {
  InstalledShim shim("libOCSCryptoki.so", {.version = "2.20", .withoutFunctionList = true});
  LoadedModule module(shim.Path());
  EXPECT_EQ(module.Symbol<CK_C_GetFunctionList>("C_GetFunctionList"), nullptr);
  auto initialize = module.Symbol<CK_C_Initialize>("C_Initialize");
  auto getInfo = module.Symbol<CK_C_GetInfo>("C_GetInfo");
  auto finalize = module.Symbol<CK_C_Finalize>("C_Finalize");
  ASSERT_TRUE(initialize && getInfo && finalize);
  ASSERT_EQ(initialize(nullptr), CKR_OK);
  CK_INFO info{};
  ASSERT_EQ(getInfo(&info), CKR_OK);
  EXPECT_EQ(info.cryptokiVersion.minor, 20);
  EXPECT_EQ(finalize(nullptr), CKR_OK);
}

TEST_F(ShimTest, MarksCallsThatOverlapInOneModule) {
  InstalledShim shim("libgclib.so", {.delayUs = 100000});
  LoadedModule module(shim.Path());
  CK_FUNCTION_LIST* p11 = module.Initialised();
  CK_INFO info{};
  ASSERT_EQ(p11->C_GetInfo(&info), CKR_OK);
  ASSERT_EQ(p11->C_GetInfo(&info), CKR_OK);
  EXPECT_FALSE(shim.SawOverlap()) << "sequential calls are not an overlap";

  std::thread first([&] {
    CK_INFO mine{};
    EXPECT_EQ(p11->C_GetInfo(&mine), CKR_OK);
  });
  // The first call has logged itself and is now sleeping inside the module.
  for (int i = 0; i < 10000 && shim.CountCalls("C_GetInfo") < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(p11->C_GetInfo(&info), CKR_OK);
  first.join();
  EXPECT_TRUE(shim.SawOverlap());
  EXPECT_EQ(shim.CountCalls("OVERLAP C_GetInfo"), 1u);
  EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
}

// A module that re-detects an unknown card on every call takes seconds per call: the shim
// sleeps inside the named function only, and a caller on another thread is not held up.
TEST_F(ShimTest, DelaysOneFunctionInsideTheModuleCall) {
  InstalledShim shim("libgclib.so", {});
  LoadedModule module(shim.Path());
  CK_FUNCTION_LIST* p11 = module.Initialised();
  const CK_SLOT_ID slot = Slots(p11).at(0);
  shim.SetOption("delay_us.C_GetSlotInfo", "1000000");
  std::atomic<bool> delayedDone{false};
  const auto start = std::chrono::steady_clock::now();
  std::thread delayed([&] {
    CK_SLOT_INFO info{};
    EXPECT_EQ(p11->C_GetSlotInfo(slot, &info), CKR_OK);
    delayedDone = true;
  });
  for (int i = 0; i < 10000 && shim.CountCalls("C_GetSlotInfo") < 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  CK_INFO info{};
  EXPECT_EQ(p11->C_GetInfo(&info), CKR_OK);
  EXPECT_FALSE(delayedDone) << "the other call answers while the delayed one still sleeps";
  delayed.join();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(shim.CountCalls("OVERLAP C_GetInfo"), 1u);
  EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
}

TEST_F(ShimTest, TwoInstalledVendorFilesAreIndependentSoftHsmInstances) {
  InstalledShim gclib("libgclib.so", {});
  InstalledShim bit4id("libbit4ipki.so", {});
  LoadedModule first(gclib.Path());
  LoadedModule second(bit4id.Path());
  CK_FUNCTION_LIST* p11First = first.List();
  CK_FUNCTION_LIST* p11Second = second.List();
  ASSERT_NE(p11First, p11Second);
  ASSERT_EQ(p11First->C_Initialize(nullptr), CKR_OK);
  ASSERT_EQ(p11Second->C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(Slots(p11First).size(), 2u);
  EXPECT_EQ(Slots(p11Second).size(), 2u);
  EXPECT_EQ(p11First->C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(p11Second->C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(gclib.CountCalls("C_Initialize"), 1u);
  EXPECT_EQ(bit4id.CountCalls("C_Initialize"), 1u);
}

TEST(SoftHsmTokensTest, WritesKeyPairAndCertificateOfEitherKeyType) {
  for (const std::string keyType : {"ec", "rsa"}) {
    SCOPED_TRACE(keyType);
    SoftHsmTokens tokens;
    const auto started = std::chrono::steady_clock::now();
    tokens.AddToken({.label = "Kulcs", .keyType = keyType, .id = "a1b2", .objectLabel = "Aláírás",
                     .subject = "/CN=Teszt Elek/O=Próba Kft."});
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    ::testing::Test::RecordProperty("AddToken_ms_" + keyType, static_cast<int>(took.count()));

    InstalledShim shim("libgclib.so", {});
    LoadedModule module(shim.Path());
    CK_FUNCTION_LIST* p11 = module.Initialised();
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(p11->C_OpenSession(SlotOfToken(p11, "Kulcs"), CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
    ASSERT_EQ(p11->C_Login(session, CKU_USER, pin, sizeof pin), CKR_OK);

    const std::string id("\xa1\xb2", 2);
    const auto certificates = FindObjects(p11, session, CKO_CERTIFICATE, id);
    ASSERT_EQ(certificates.size(), 1u);
    EXPECT_EQ(Attribute(p11, session, certificates[0], CKA_VALUE), FileBytes(tokens.CertificateDer("Kulcs")));
    EXPECT_EQ(Attribute(p11, session, certificates[0], CKA_LABEL), "Aláírás");

    const auto keys = FindObjects(p11, session, CKO_PRIVATE_KEY, id);
    ASSERT_EQ(keys.size(), 1u);
    const std::string keyTypeValue = Attribute(p11, session, keys[0], CKA_KEY_TYPE);
    ASSERT_EQ(keyTypeValue.size(), sizeof(CK_KEY_TYPE));
    EXPECT_EQ(*reinterpret_cast<const CK_KEY_TYPE*>(keyTypeValue.data()), keyType == "ec" ? CKK_EC : CKK_RSA);
    EXPECT_EQ(FindObjects(p11, session, CKO_PUBLIC_KEY, id).size(), 1u);
    EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  }
}

TEST(SoftHsmTokensTest, ToolFailureThrowsWithTheToolsOutput) {
  SoftHsmTokens tokens;
  try {
    tokens.AddToken({.label = "Short", .userPin = "12"});
    FAIL() << "a two-digit PIN was accepted";
  } catch (const std::runtime_error& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("softhsm2-util"), std::string::npos) << message;
    EXPECT_NE(message.find("PIN"), std::string::npos) << message;
  }
  EXPECT_THROW(tokens.AddToken({.label = "Dsa", .keyType = "dsa"}), std::invalid_argument);
  EXPECT_THROW(tokens.CertificateDer("Short"), std::invalid_argument);
}

}  // namespace
