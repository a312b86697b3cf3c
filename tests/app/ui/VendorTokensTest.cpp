#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "P11Rig.h"
#include "PKCS11Versions.h"
#include "UiTestSupport.h"
#include "VendorTokens.h"
#include "platform/Profile.h"

namespace {

class VendorTokensTest : public ::testing::Test {
 protected:
  VendorTokensTest() {
    Platform::Profile().WriteDword("", "EventLogLevel", 3);
    tokens.AddToken({});
  }
  bool Logged(const std::string& text) const {
    const auto texts = sandbox.events->Texts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  }
  UiTest::ProfileSandbox sandbox;
  UiTest::ScriptedUserPort port;
  TvrTest::SoftHsmTokens tokens;
};

TEST_F(VendorTokensTest, SkippedVersionAndMissingModuleLeaveTheOthersWorking) {
  TvrTest::InstalledShim bit4id("libbit4ipki.so", {.version = "2.30"});
  // No libgclib.so at all.
  TvrTest::InstalledShim etoken("libeTPKCS11.so", {.version = "2.20"});
  TvrTest::InstalledShim oberthur("libOCSCryptoki.so", {.version = "2.11"});
  std::vector<std::string> visited;
  TokenMap map = LoadVendorTokens(port, [&](const VendorModuleEntry& row) {
    visited.push_back(row.typeKey);
  });
  EXPECT_EQ(visited, (std::vector<std::string>{"Bit4ID", "Gemalto", "Gemalto2", "Oberthur"}));
  ASSERT_EQ(map.size(), 2u);
  ASSERT_TRUE(map.count("Gemalto2"));
  ASSERT_TRUE(map.count("Oberthur"));
  EXPECT_TRUE(map["Gemalto2"]->IsInitialized());
  EXPECT_FALSE(map["Gemalto2"]->GetSlotList(true).empty());
  EXPECT_FALSE(map["Oberthur"]->GetSlotList(true).empty());
  EXPECT_TRUE(Logged("Unsupported Cryptoki version 2.30: libbit4ipki.so"));
  EXPECT_TRUE(Logged("Succeeded to initialize: libeTPKCS11.so"));
  EXPECT_TRUE(Logged("Succeeded to initialize: libOCSCryptoki.so"));
  EXPECT_TRUE(port.boxes.empty());
  // The skipped module is not kept loaded.
  EXPECT_EQ(bit4id.CountCalls("load"), bit4id.CountCalls("unload"));
}

TEST_F(VendorTokensTest, EveryRowOfSupportedVersionsLoads) {
  TvrTest::InstalledShim a("libbit4ipki.so", {.version = "2.1"});
  TvrTest::InstalledShim b("libgclib.so", {.version = "2.10"});
  TvrTest::InstalledShim c("libeTPKCS11.so", {.version = "2.20"});
  TvrTest::InstalledShim d("libOCSCryptoki.so", {.version = "2.11"});
  TokenMap map = LoadVendorTokens(port);
  EXPECT_EQ(map.size(), 4u);
  TokenRefMap refs = RefsOf(map);
  EXPECT_EQ(refs.at("Gemalto"), map.at("Gemalto").get());
}

TEST_F(VendorTokensTest, EachModuleIsLoadedOnceForItsProbeAndItsTokenObject) {
  TvrTest::InstalledShim shim("libgclib.so", {.version = "2.20"});
  TokenMap map = LoadVendorTokens(port);
  ASSERT_TRUE(map.count("Gemalto"));
  EXPECT_EQ(shim.CountCalls("load"), 1u);
  EXPECT_EQ(shim.CountCalls("unload"), 0u);
  // The probe's initialise, version and finalise, then the token object's own start.
  EXPECT_EQ(shim.CountCalls("C_Initialize"), 2u);
  EXPECT_EQ(shim.CountCalls("C_Finalize"), 1u);
  EXPECT_TRUE(map["Gemalto"]->IsInitialized());
  EXPECT_FALSE(map["Gemalto"]->GetSlotList(true).empty());
}

// SoftHSM2 and many current modules report Cryptoki 2.40, newer ones 3.x: their function
// list is the 2.x one, so they serve cards through the newest class. Before 2.01, no.
TEST_F(VendorTokensTest, NewerModulesGoThroughTheNewestClassOlderOnesStayOut) {
  TvrTest::InstalledShim a("libbit4ipki.so", {.version = "2.40"});
  TvrTest::InstalledShim b("libgclib.so", {.version = "3.0"});
  TvrTest::InstalledShim c("libeTPKCS11.so", {.version = "3.1"});
  TvrTest::InstalledShim d("libOCSCryptoki.so", {.version = "2.0"});
  TokenMap map = LoadVendorTokens(port);
  for (const char* key : {"Bit4ID", "Gemalto", "Gemalto2"}) {
    ASSERT_TRUE(map.count(key)) << key;
    EXPECT_NE(dynamic_cast<PKCS11V220*>(map[key].get()), nullptr) << key;
    const std::vector<CK_SLOT_ID> slots = map[key]->GetSlotList(true);
    ASSERT_FALSE(slots.empty()) << key;
    map[key]->SetSlot(slots[0]);
    EXPECT_NE(map[key]->GetTokenInfo(), nullptr) << key;
  }
  EXPECT_FALSE(map.count("Oberthur"));
  EXPECT_TRUE(Logged("Cryptoki version 2.40 used as 2.20: libbit4ipki.so"));
  EXPECT_TRUE(Logged("Cryptoki version 3.00 used as 2.20: libgclib.so"));
  EXPECT_TRUE(Logged("Cryptoki version 3.01 used as 2.20: libeTPKCS11.so"));
  EXPECT_TRUE(Logged("Unsupported Cryptoki version 2.00: libOCSCryptoki.so"));
  EXPECT_TRUE(port.boxes.empty());
}

TEST_F(VendorTokensTest, ModuleWhoseVersionCannotBeReadIsLeftOutSilently) {
  TvrTest::InstalledShim c("libeTPKCS11.so", {.version = "2.20"});
  c.InjectRv("C_Initialize", 0x6);  // CKR_FUNCTION_FAILED
  TvrTest::InstalledShim d("libOCSCryptoki.so", {.version = "2.20"});
  TokenMap map = LoadVendorTokens(port);
  EXPECT_FALSE(map.count("Gemalto2"));
  EXPECT_TRUE(map.count("Oberthur"));
  EXPECT_TRUE(port.boxes.empty());
}

// A module that takes longer than the deadline to start is left behind: the next rows
// load meanwhile, and the module is never called, finalised or unloaded afterwards, even
// once its C_Initialize has returned. The caller's wait is woken by the loading thread.
TEST_F(VendorTokensTest, ModuleThatDoesNotStartInTimeIsLeftBehind) {
  TvrTest::InstalledShim slow("libbit4ipki.so", {.version = "2.20"});
  slow.SetOption("delay_us.C_Initialize", "8000000");
  TvrTest::InstalledShim etoken("libeTPKCS11.so", {.version = "2.20"});
  VendorLoadOptions options;
  options.deadline = std::chrono::milliseconds(1500);
  std::atomic<int> wakes{0};
  options.wake = [&] { ++wakes; };
  int waits = 0;
  options.wait = [&](const std::function<bool()>& finished, std::chrono::steady_clock::time_point until) {
    ++waits;
    while (!finished() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  };
  const auto start = std::chrono::steady_clock::now();
  TokenMap map = LoadVendorTokens(port, options);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(map.count("Bit4ID"));
  ASSERT_TRUE(map.count("Gemalto2"));
  EXPECT_FALSE(map["Gemalto2"]->GetSlotList(true).empty());
  EXPECT_TRUE(Logged("Module did not start in time, left behind: libbit4ipki.so"));
  EXPECT_EQ(waits, 4);
  EXPECT_GE(wakes.load(), 1);  // the rows that finished; never the one left behind
  EXPECT_TRUE(port.boxes.empty());
  // Its C_Initialize returns at last: nothing more reaches it.
  std::this_thread::sleep_until(start + std::chrono::seconds(9));
  EXPECT_EQ(slow.CallLog(), (std::vector<std::string>{"load", "C_GetFunctionList", "C_Initialize"}));
  map.clear();
  EXPECT_EQ(slow.CountCalls("C_Finalize"), 0u);
}

// The program ends while a module starts: the wait stops, nothing more is loaded.
TEST_F(VendorTokensTest, EndingStopsTheLoading) {
  TvrTest::InstalledShim slow("libbit4ipki.so", {.version = "2.20"});
  slow.SetOption("delay_us.C_Initialize", "10000000");
  TvrTest::InstalledShim etoken("libeTPKCS11.so", {.version = "2.20"});
  VendorLoadOptions options;
  const auto start = std::chrono::steady_clock::now();
  options.ending = [&] { return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(200); };
  TokenMap map = LoadVendorTokens(port, options);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(etoken.CountCalls("load"), 0u);
  EXPECT_FALSE(Logged("Module did not start in time, left behind: libbit4ipki.so"));
}

}  // namespace
