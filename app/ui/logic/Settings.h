// The program's settings: the values of the user's profile with their types and defaults,
// read afresh at every use, and what the settings page shows and writes.
#pragma once

#include <cstdint>
#include <string>

#include "UserPort.h"

namespace Settings {

// Integer values.
inline constexpr const char* kEventLogLevel = "EventLogLevel";
inline constexpr const char* kShowBallons = "ShowBallons";
inline constexpr const char* kShowBallonsOnlyFromCertificateRegistration =
    "ShowBallonsOnlyFromCertificateRegistration";
inline constexpr const char* kShowSplashScreen = "ShowSplashScreen";
inline constexpr const char* kShowKeys = "ShowKeys";
inline constexpr const char* kShowKeysWithoutCertificate = "ShowKeysWithoutCertificate";
inline constexpr const char* kWaitForSCardSvr = "WaitForSCardSvr";
inline constexpr const char* kWaitForSCardSvr2 = "WaitForSCardSvr2";
inline constexpr const char* kWaitForGslShmSrvc = "WaitForGslShmSrvc";
inline constexpr const char* kWaitForGslShmSrvc2 = "WaitForGslShmSrvc2";
inline constexpr const char* kAllowDeleteNotImportedCertificates =
    "AllowDeleteNotImportedCertificates";
// String value.
inline constexpr const char* kLanguage = "Language";

inline constexpr const char* kLanguageHungarian = "HUN";
inline constexpr const char* kLanguageEnglish = "ENG";

struct IntegerSetting {
  const char* name;
  uint32_t defaultValue;
};

// Every integer value with its default.
inline constexpr IntegerSetting kIntegerSettings[] = {
    {kEventLogLevel, 0},
    {kShowBallons, 1},
    {kShowBallonsOnlyFromCertificateRegistration, 0},
    {kShowSplashScreen, 1},
    {kShowKeys, 0},
    {kShowKeysWithoutCertificate, 0},
    {kWaitForSCardSvr, 60},
    {kWaitForSCardSvr2, 5},
    {kWaitForGslShmSrvc, 60},
    {kWaitForGslShmSrvc2, 5},
    {kAllowDeleteNotImportedCertificates, 0},
};

// The value from the profile, or its default when absent or not an integer.
uint32_t GetInteger(const char* name);
bool WriteInteger(const char* name, uint32_t value);
// "Language" with the default "HUN".
std::string GetLanguage();

}  // namespace Settings

// The settings page without its widgets.
class SettingsPageLogic {
 public:
  // The language combo is sorted, so "ENG (english)" comes first.
  static constexpr int kEnglishItem = 0;
  static constexpr int kHungarianItem = 1;
  static constexpr int kLogLevelCount = 4;
  static constexpr int kWaitFieldMaxLength = 3;

  enum class Check { ShowSplashScreen, ShowKeys, ShowKeysWithoutCertificate, ShowBallons,
                     ShowBallonsOnlyFromCertificateRegistration };

  struct View {
    bool showSplashScreen = false;
    bool showKeys = false;
    bool showKeysWithoutCertificate = false;
    bool showKeysWithoutCertificateEnabled = false;
    bool showBallons = false;
    bool showBallonsOnlyFromCertificateRegistration = false;
    bool showBallonsOnlyEnabled = false;
    int languageItem = kHungarianItem;
    std::string waitForSCardSvr;
    int eventLogLevelItem = 0;
  };

  explicit SettingsPageLogic(IUserPort& port) : port_(port) {}

  // What the page shows each time it becomes active; writes nothing.
  View Load() const;

  // A click on a check box writes 1 or 0 at once. For the two boxes that govern
  // another, the result says whether the governed box is now enabled.
  bool SetCheck(Check check, bool checked);
  // The language item's text: "ENG (english)" writes "ENG", anything else "HUN"; then
  // the restart notice in the newly chosen language.
  void SelectLanguage(const std::string& itemText);
  // The wait field's text on every change: empty is 0, otherwise its leading decimal
  // number.
  void SetWaitText(const std::string& text);
  // The log-level item; none (-1) or above 3 writes 0.
  void SelectEventLogLevel(int item);

 private:
  IUserPort& port_;
};
