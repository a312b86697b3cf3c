#include "Settings.h"

#include <cerrno>
#include <cstdlib>

#include "Strings.h"
#include "platform/Profile.h"

namespace Settings {

namespace {

uint32_t DefaultOf(const char* name) {
  for (const IntegerSetting& s : kIntegerSettings) {
    if (std::string(s.name) == name) return s.defaultValue;
  }
  return 0;
}

}  // namespace

uint32_t GetInteger(const char* name) {
  return Platform::Profile().GetDword("", name, DefaultOf(name));
}

bool WriteInteger(const char* name, uint32_t value) {
  return Platform::Profile().WriteDword("", name, value);
}

std::string GetLanguage() {
  return Platform::Profile().GetString("", kLanguage, kLanguageHungarian);
}

}  // namespace Settings


using namespace Settings;

SettingsPageLogic::View SettingsPageLogic::Load() const {
  View v;
  v.showKeysWithoutCertificate = GetInteger(kShowKeysWithoutCertificate) != 0;
  v.showKeys = GetInteger(kShowKeys) != 0;
  v.showKeysWithoutCertificateEnabled = v.showKeys;
  v.showBallonsOnlyFromCertificateRegistration =
      GetInteger(kShowBallonsOnlyFromCertificateRegistration) != 0;
  v.showBallons = GetInteger(kShowBallons) != 0;
  v.showBallonsOnlyEnabled = v.showBallons;
  v.showSplashScreen = GetInteger(kShowSplashScreen) != 0;
  v.languageItem = GetLanguage() == kLanguageEnglish ? kEnglishItem : kHungarianItem;
  v.waitForSCardSvr = std::to_string(GetInteger(kWaitForSCardSvr));
  const uint32_t level = GetInteger(kEventLogLevel);
  v.eventLogLevelItem = level < static_cast<uint32_t>(kLogLevelCount) ? static_cast<int>(level) : 0;
  return v;
}

bool SettingsPageLogic::SetCheck(Check check, bool checked) {
  const uint32_t value = checked ? 1 : 0;
  switch (check) {
    case Check::ShowSplashScreen: WriteInteger(kShowSplashScreen, value); break;
    case Check::ShowKeys: WriteInteger(kShowKeys, value); break;
    case Check::ShowKeysWithoutCertificate: WriteInteger(kShowKeysWithoutCertificate, value); break;
    case Check::ShowBallons: WriteInteger(kShowBallons, value); break;
    case Check::ShowBallonsOnlyFromCertificateRegistration:
      WriteInteger(kShowBallonsOnlyFromCertificateRegistration, value);
      break;
  }
  return checked;
}

void SettingsPageLogic::SelectLanguage(const std::string& itemText) {
  Platform::Profile profile;
  if (itemText == Res::HungarianText(Res::StringId::LanguageItemEnglish)) {
    profile.WriteString("", kLanguage, kLanguageEnglish);
    port_.MessageBox(Res::Text(Res::StringId::RestartNoticeEnglish), "",
                     Platform::kMbIconInformation);
  } else {
    profile.WriteString("", kLanguage, kLanguageHungarian);
    port_.MessageBox(Res::Text(Res::StringId::RestartNoticeHungarian), "",
                     Platform::kMbIconInformation);
  }
}

void SettingsPageLogic::SetWaitText(const std::string& text) {
  uint32_t value = 0;
  if (!text.empty()) {
    errno = 0;
    const long parsed = std::strtol(text.c_str(), nullptr, 10);
    // The field takes three digits at most; anything odd that still gets here (a pasted
    // sign or a huge number) is kept within the value's range rather than wrapped.
    if (errno == 0 && parsed > 0) value = parsed > 0x7FFFFFFFL ? 0x7FFFFFFFu : static_cast<uint32_t>(parsed);
  }
  WriteInteger(kWaitForSCardSvr, value);
}

void SettingsPageLogic::SelectEventLogLevel(int item) {
  const uint32_t value = item >= 0 && item < kLogLevelCount ? static_cast<uint32_t>(item) : 0;
  WriteInteger(kEventLogLevel, value);
}
