#include "TokenTestFixture.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>

#include "CardTables.h"
#include "platform/Profile.h"

void TokenTest::SetUp() {
  profileDir_.emplace();
  ::setenv("XDG_CONFIG_HOME", profileDir_->Path().c_str(), 1);
  ::setenv("TVR_SYSTEM_CONFIG_DIR", (profileDir_->Path() + "/none").c_str(), 1);
  SetEventLogLevel(3);
  Platform::SetEventSink(sink_);
  Platform::RegisterEventSource();
  tokens_.emplace();
  tokens_->AddToken(InitialToken());
}

TvrTest::TokenSpec TokenTest::InitialToken() const {
  TvrTest::TokenSpec spec;
  spec.withKeyAndCertificate = false;
  return spec;
}

void TokenTest::TearDown() {
  Platform::DeregisterEventSource();
  Platform::SetEventSink(nullptr);
  shim_.reset();
  tokens_.reset();
}

void TokenTest::SetEventLogLevel(int level) {
  ASSERT_TRUE(Platform::Profile().WriteInt("", "EventLogLevel", level));
}

void TokenTest::InstallShim(TvrTest::ShimOptions options) {
  if (options.readers.empty()) options.readers["TvrTest"] = kReader;
  shim_.reset();
  shim_.emplace("libgclib.so", options);
}

Platform::ModuleHandle TokenTest::LoadModule() {
  Platform::ModuleHandle module = Platform::LoadLibrary("gclib.dll");
  EXPECT_NE(module, nullptr) << Platform::LastLoaderErrorText();
  return module;
}

std::unique_ptr<PKCS11Base> TokenTest::CreateToken() {
  return PKCS11V220::Create(&VendorModuleTable[1], LoadModule());
}

std::unique_ptr<PKCS11Base> TokenTest::CreateTokenOnSlot() {
  auto token = CreateToken();
  EXPECT_TRUE(token->IsValid());
  auto slots = token->GetSlotList(true);
  EXPECT_EQ(slots.size(), 1u);
  if (!slots.empty()) token->SetSlot(slots[0]);
  return token;
}

std::unique_ptr<PKCS11Base> TokenTest::CreateTokenOnSlot(const std::string& version) {
  const VendorModuleEntry* row = &VendorModuleTable[1];
  std::unique_ptr<PKCS11Base> token;
  if (version == "2.01") token = PKCS11V201::Create(row, LoadModule());
  if (version == "2.10") token = PKCS11V210::Create(row, LoadModule());
  if (version == "2.11") token = PKCS11V211::Create(row, LoadModule());
  if (version == "2.20") token = PKCS11V220::Create(row, LoadModule());
  if (!token) {
    ADD_FAILURE() << "no token class for " << version;
    return nullptr;
  }
  EXPECT_TRUE(token->IsValid());
  auto slots = token->GetSlotList(true);
  EXPECT_FALSE(slots.empty());
  if (!slots.empty()) token->SetSlot(slots[0]);
  return token;
}

std::unique_ptr<PKCS11Base> TokenTest::CreateLoggedInToken(const std::string& version) {
  auto token = CreateTokenOnSlot(version);
  if (!token) return nullptr;
  EXPECT_TRUE(token->OpenSession(true));
  TvrCommon::SecureString pin("1234");
  EXPECT_TRUE(token->Login(&pin, CKU_USER));
  return token;
}

void TokenTest::Pkcs11Tool(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {TVR_PKCS11_TOOL, "--module", TVR_SOFTHSM2_MODULE,
                                   "--token-label", "TvrTest", "--login", "--pin", "1234"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::string output;
  int status = TvrTest::RunCommand(argv, &output);
  ASSERT_EQ(status, 0) << output;
}

bool TokenTest::HasEvent(const std::string& text) const {
  auto events = Events();
  return std::find(events.begin(), events.end(), text) != events.end();
}

bool TokenTest::ModuleStillLoaded() const {
  void* h = ::dlopen(shim_->Path().c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!h) return false;
  ::dlclose(h);
  return true;
}

void TokenTest::UnloadLeftoverModule() const {
  if (void* h = ::dlopen(shim_->Path().c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    ::dlclose(h);  // our reference
    ::dlclose(h);  // the one the token object kept
  }
}
