#include <gtest/gtest.h>

#include "Settings.h"
#include "Strings.h"
#include "UiTestSupport.h"
#include "platform/Profile.h"

using Platform::Profile;
using Platform::ValueType;

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  UiTest::ProfileSandbox sandbox;
  UiTest::ScriptedUserPort port;
  SettingsPageLogic page{port};
  Profile profile{{}, Profile::Scope::User};
};

TEST_F(SettingsTest, DefaultsOfAnEmptyProfile) {
  for (const auto& s : Settings::kIntegerSettings) {
    EXPECT_EQ(Settings::GetInteger(s.name), s.defaultValue) << s.name;
  }
  EXPECT_EQ(Settings::GetLanguage(), "HUN");
  const auto v = page.Load();
  EXPECT_TRUE(v.showSplashScreen);
  EXPECT_TRUE(v.showBallons);
  EXPECT_TRUE(v.showBallonsOnlyEnabled);
  EXPECT_FALSE(v.showKeys);
  EXPECT_FALSE(v.showKeysWithoutCertificateEnabled);
  EXPECT_EQ(v.languageItem, SettingsPageLogic::kHungarianItem);
  EXPECT_EQ(v.waitForSCardSvr, "60");
  EXPECT_EQ(v.eventLogLevelItem, 0);
  // Loading writes nothing.
  EXPECT_EQ(profile.TypeOf("", "WaitForSCardSvr"), ValueType::None);
}

TEST_F(SettingsTest, WaitFieldWritesTypedIntegers) {
  const struct {
    const char* text;
    uint32_t written;
  } cases[] = {{"120", 120}, {"", 0}, {"007", 7}, {"999", 999}};
  for (const auto& c : cases) {
    page.SetWaitText(c.text);
    ASSERT_EQ(profile.TypeOf("", "WaitForSCardSvr"), ValueType::Dword) << c.text;
    EXPECT_EQ(profile.GetDword("", "WaitForSCardSvr", 12345), c.written) << '"' << c.text << '"';
  }
}

TEST_F(SettingsTest, LogLevelAboveThreeShowsOffAndWritesNothing) {
  profile.WriteDword("", "EventLogLevel", 7);
  EXPECT_EQ(page.Load().eventLogLevelItem, 0);
  EXPECT_EQ(profile.GetDword("", "EventLogLevel"), 7u);
  page.SelectEventLogLevel(2);
  EXPECT_EQ(profile.GetDword("", "EventLogLevel"), 2u);
  page.SelectEventLogLevel(-1);  // no selection
  EXPECT_EQ(profile.GetDword("", "EventLogLevel", 9), 0u);
}

TEST_F(SettingsTest, CheckBoxesWriteOneOrZeroAndGovernTheirDependants) {
  using Check = SettingsPageLogic::Check;
  EXPECT_FALSE(page.SetCheck(Check::ShowBallons, false));
  EXPECT_EQ(profile.GetDword("", "ShowBallons", 9), 0u);
  profile.WriteDword("", "ShowBallonsOnlyFromCertificateRegistration", 1);
  auto v = page.Load();
  // Greyed, yet its value is kept.
  EXPECT_FALSE(v.showBallonsOnlyEnabled);
  EXPECT_TRUE(v.showBallonsOnlyFromCertificateRegistration);
  EXPECT_TRUE(page.SetCheck(Check::ShowKeys, true));
  EXPECT_EQ(profile.GetDword("", "ShowKeys"), 1u);
  EXPECT_TRUE(page.Load().showKeysWithoutCertificateEnabled);
  page.SetCheck(Check::ShowSplashScreen, false);
  EXPECT_EQ(profile.TypeOf("", "ShowSplashScreen"), ValueType::Dword);
  EXPECT_EQ(profile.GetDword("", "ShowSplashScreen", 9), 0u);
}

TEST_F(SettingsTest, LanguageChoiceWritesCodeAndNoticeInTheNewLanguage) {
  page.SelectLanguage("ENG (english)");
  EXPECT_EQ(profile.GetString("", "Language"), "ENG");
  page.SelectLanguage("HUN (magyar)");
  EXPECT_EQ(profile.GetString("", "Language"), "HUN");
  ASSERT_EQ(port.boxes.size(), 2u);
  EXPECT_EQ(port.boxes[0].text,
            "For the modifications to take effect, you must restart TAVRENIC - Olvanta Kelmardin!");
  EXPECT_EQ(port.boxes[1].text,
            "A módosítások érvénybe lépéséhez a TAVRENIC - Olvanta Zavadorerido újraindítására van szükség!");
  EXPECT_EQ(port.boxes[0].flags, Platform::kMbIconInformation);
}

TEST_F(SettingsTest, LanguageComparisonIsExact) {
  profile.WriteString("", "Language", "eng");
  EXPECT_EQ(page.Load().languageItem, SettingsPageLogic::kHungarianItem);
  profile.WriteString("", "Language", "ENG");
  EXPECT_EQ(page.Load().languageItem, SettingsPageLogic::kEnglishItem);
}

}  // namespace
