// A private profile, a recording event sink and a SoftHSM2 token behind the shim
// installed as a vendor module, for tests of the token class.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "P11Rig.h"
#include "PKCS11Versions.h"
#include "platform/EventLog.h"

class TokenTest : public ::testing::Test {
 protected:
  static constexpr const char* kReader = "Virtual PCD 00 00";

  void SetUp() override;
  // The token every test starts with: "TvrTest", user PIN 1234, no objects.
  virtual TvrTest::TokenSpec InitialToken() const;
  void TearDown() override;

  void SetEventLogLevel(int level);
  // Installs the shim as libgclib.so, the module of the "Gemalto" row.
  void InstallShim(TvrTest::ShimOptions options = {});
  // Loads "gclib.dll" through the platform loader (finds the installed shim).
  Platform::ModuleHandle LoadModule();
  // A primary token object of the 2.20 class over a fresh load of the module.
  std::unique_ptr<PKCS11Base> CreateToken();
  // Creates the token, selects the slot of kReader and checks the object is usable.
  std::unique_ptr<PKCS11Base> CreateTokenOnSlot();
  // The same for the class of a Cryptoki version ("2.01", "2.10", "2.11", "2.20").
  std::unique_ptr<PKCS11Base> CreateTokenOnSlot(const std::string& version);
  // Opens a read-write session and logs the user in.
  std::unique_ptr<PKCS11Base> CreateLoggedInToken(const std::string& version = "2.20");
  // Runs pkcs11-tool against the private SoftHSM2 token with the user PIN.
  void Pkcs11Tool(const std::vector<std::string>& arguments);

  std::vector<std::string> Events() const { return sink_->Texts(); }
  bool HasEvent(const std::string& text) const;
  // Whether the module file is still mapped in this process.
  bool ModuleStillLoaded() const;
  // Drops a module that a token object deliberately left loaded.
  void UnloadLeftoverModule() const;

  std::optional<TvrTest::TempDir> profileDir_;
  std::shared_ptr<Platform::RecordingEventSink> sink_ =
      std::make_shared<Platform::RecordingEventSink>();
  std::optional<TvrTest::SoftHsmTokens> tokens_;
  std::optional<TvrTest::InstalledShim> shim_;
};
