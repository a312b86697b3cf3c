#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "AdvancedSettings.h"
#include "CertificateCommands.h"
#include "ContentsFixture.h"

namespace {

std::string Listed(const std::vector<AutoRegisterItem>& items) {
  std::string text;
  for (const AutoRegisterItem& item : items)
    text += std::to_string(item.row) + (item.checked ? "+" : "-") + item.displayName + ";";
  return text;
}

TEST(AdvancedSettingsTest, RegisteredAndLoadedCardTypesInTableOrder) {
  UiTest::ProfileSandbox sandbox;
  const std::set<std::string> all = {"Bit4ID", "Gemalto", "Gemalto2", "Oberthur"};
  EXPECT_EQ(Listed(AutoRegisterItems(all)), "");  // no card database at all

  sandbox.WriteMachineProfile("");
  std::ofstream(sandbox.Root() + "/system/Tavrenic/smartcards.conf")
      << "[Incard  TS2048]\nATR = 3B 00\n[Classic TPC]\n[IDPrime MD T=0]\nATR = 3B 01\n"
         "[Oberthur Technologies IAS-ECC Device]\nATR = 3B 02\n";
  EXPECT_EQ(Listed(AutoRegisterItems(all)),
            "0+Bit4ID Touch & Sign 2048 (oVB);1+Gemalto Classic TPC IM CC (oVG);2+Gemalto IDPrime MD (oVG-e);"
            "3-Oberthur ID-One Cosmo 64K v7.0;");
  // A module that did not load leaves its card type out.
  EXPECT_EQ(Listed(AutoRegisterItems({"Gemalto2", "Oberthur"})),
            "2+Gemalto IDPrime MD (oVG-e);3-Oberthur ID-One Cosmo 64K v7.0;");
  EXPECT_EQ(Listed(AutoRegisterItems(all, [](const std::string& name) { return name == "Classic TPC"; })),
            "1+Gemalto Classic TPC IM CC (oVG);");
}

// Re-registration after a change, by card type and providers.
class ReregisterTest : public UiTest::ContentsFixture {};

TEST_F(ReregisterTest, ProvidersDecideThePaths) {
  Open(false);
  ContentsCommands commands(*this, *this, port_);
  std::ofstream(sandbox_.Root() + "/system/Tavrenic/smartcards.conf")
      << "[IDPrime MD T=0]\nCryptoProvider = Microsoft Base Smart Card Crypto Provider\n"
         "KeyStorageProvider = Microsoft Smart Card Key Storage Provider\n"
         "[Oberthur Technologies IAS-ECC Device]\nKeyStorageProvider = Microsoft Smart Card Key Storage Provider\n"
         "[Other Card]\nCryptoProvider = Microsoft Base Smart Card Crypto Provider\n"
         "[Classic TPC]\nCryptoProvider = Microsoft Base Smart Card Crypto Provider\n";
  const std::string r = "register Virtual PCD 00 00|";
  struct Case {
    std::string card;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      // Gemalto: its own CSP name and no KSP, so only the PKCS#11 path.
      {"Classic TPC", {r + "Gemalto Classic Card CSP||token"}},
      {"IDPrime MD T=0",
       {r + "Microsoft Base Smart Card Crypto Provider|Microsoft Smart Card Key Storage Provider|token",
        r + "Microsoft Base Smart Card Crypto Provider|Microsoft Smart Card Key Storage Provider|none"}},
      // Oberthur: no PKCS#11 registration, and its autoRegister flag is 0.
      {"Oberthur Technologies IAS-ECC Device", {}},
      {"Other Card", {r + "Microsoft Base Smart Card Crypto Provider||none"}},
      {"Unknown Card", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.card);
    cardName_ = c.card;
    registrations_.clear();
    commands.ReregisterCertificates();
    std::vector<std::string> expected = {"unregister Virtual PCD 00 00"};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(registrations_, expected);
  }
}

}  // namespace
