// The English resource set (libkelmardin_eng.so): the English text of every string of the
// table. The switch names each id once and is built with -Werror=switch, so a string added
// to the table without its English text stops the build.
#include "Strings.h"

namespace {

const char* English(Res::StringId id) {
  using Res::StringId;
  switch (id) {
    case StringId::AboutMenu: return "&About...";
    case StringId::AppDisplayName: return "TAVRENIC - Olvanta Kelmardin";
    case StringId::ModuleLoadError: return "An error occurred while loading the module: %s";
    case StringId::StoreViewerMenu: return "&Certificate store viewer...";
    case StringId::SystemInfoMenu: return "&System information...";
    case StringId::RegistryOpenError: return "An error occurred while opening the settings!";
    case StringId::RegistryCloseError: return "An error occurred while closing the settings!";
    case StringId::CloseCertificateManager:
      return "Please close the Olvanta Certificate Manager program, then click OK to continue!";
    case StringId::StartupError: return "An error occurred while starting TAVRENIC - Olvanta Kelmardin!";
    case StringId::WaitingForSCardSvr: return "Waiting for the \"Smart Card\" service";
    case StringId::WaitingForGslShmSrvc: return "Waiting for the Gemalto service";
    case StringId::GemaltoServiceNotRunning:
      return "The Gemalto service is not running, so the Gemalto card cannot be used.";
    case StringId::TrayShow: return "Show";
    case StringId::TrayHide: return "Hide";
    case StringId::TrayAbout: return "About";
    case StringId::TrayClose: return "Close";
    case StringId::CloseOrHideCaption: return "Close or hide TAVRENIC - Olvanta Kelmardin";
    case StringId::CloseOrHideQuestion: return "Do you want to close or hide the application?";
    case StringId::CloseOrHideExplanation:
      return "If you close it, you cannot create signatures until you start the application "
             "again. If you hide it, the application keeps running in the background, so you "
             "can create further signatures.";
    case StringId::CloseButton: return "Close";
    case StringId::HideButton: return "Hide";
    case StringId::CancelButton: return "Cancel";
    case StringId::HiddenBalloonTitle: return "The application is running in the background...";
    case StringId::HiddenBalloonText: return "The application keeps running in the background.";
    case StringId::SettingsPageTitle: return "Settings";
    case StringId::ShowSplashScreenCheck: return "Show the welcome screen at start-up";
    case StringId::ShowKeysCheck: return "Show keys";
    case StringId::ShowKeysWithoutCertificateCheck: return "Show keys without a certificate";
    case StringId::ShowBallonsCheck: return "Show balloon messages";
    case StringId::ShowBallonsOnlyFromRegistrationCheck:
      return "Show balloon messages only about registration";
    case StringId::LanguageLabel: return "Language:";
    case StringId::LanguageItemHungarian: return "HUN (magyar)";
    case StringId::LanguageItemEnglish: return "ENG (english)";
    case StringId::WaitForSCardSvrLabel: return "Time to wait for the smart card service:";
    case StringId::SecondsUnit: return "seconds";
    case StringId::EventLogLevelLabel: return "Logging:";
    case StringId::EventLogLevelOff: return "Off";
    case StringId::EventLogLevelErrors: return "Errors only";
    case StringId::EventLogLevelWarnings: return "Errors and warnings";
    case StringId::EventLogLevelAll: return "Errors, warnings and information";
    case StringId::RestartNoticeEnglish:
      return "For the modifications to take effect, you must restart TAVRENIC - Olvanta Kelmardin!";
    case StringId::RestartNoticeHungarian:
      return "A módosítások érvénybe lépéséhez a TAVRENIC - Olvanta Zavadorerido újraindítására van szükség!";
    case StringId::PukDialogTitle: return "Enter PUK";
    case StringId::PinDialogTitle: return "Enter PIN";
    case StringId::PukLabel: return "PUK";
    case StringId::PinLabel: return "PIN";
    case StringId::PukTooShort: return "The PUK is too short!";
    case StringId::PinTooShort: return "The PIN is too short!";
    case StringId::CurrentPinLabel: return "Current PIN:";
    case StringId::NewPinLabel: return "New PIN:";
    case StringId::NewPinAgainLabel: return "New PIN (again):";
    case StringId::PukCodeLabel: return "PUK:";
    case StringId::NewPinsDiffer: return "The new PINs you entered do not match!";
    case StringId::OldPinTooShort: return "The old PIN is too short!";
    case StringId::NewPinTooShort: return "The new PIN is too short!";
    case StringId::PasswordDialogTitle: return "Enter password";
    case StringId::PasswordPrompt: return "Please enter the password for:";
    case StringId::PasswordLabel: return "Password:";
    case StringId::ErrorCodeText: return "Error code: 0x%X";
    case StringId::LoginFailed: return "Login failed!";
    case StringId::GlobalPinTriesLeft: return "The Global PIN will be locked after %d wrong attempts.";
    case StringId::PinTriesLeft: return "The PIN will be locked after %d wrong attempts.";
    case StringId::GlobalPinLocked: return "The Global PIN is locked.";
    case StringId::PinLocked: return "The PIN is locked.";
    case StringId::MonitorDetectionErrorTitle: return "Automatic card detection error";
    case StringId::MonitorDetectionErrorText:
      return "Automatic card detection could not be started. The program keeps trying to start it.";
    case StringId::MonitorReadErrorTitle: return "Card read error";
    case StringId::MonitorReadErrorText: return "Remove the card, then insert it again!";
    case StringId::MonitorCardInsertedTitle: return "Card inserted into the reader";
    case StringId::MonitorCardInsertedText: return "A card was inserted into this reader: %s";
    case StringId::MonitorUnsupportedCardTitle: return "Unsupported card";
    case StringId::MonitorUnsupportedCardText: return "The program does not support this card.";
    case StringId::MonitorCardRemovedTitle: return "Card removed from the reader";
    case StringId::MonitorCardRemovedText: return "A card was removed from this reader: %s";
    case StringId::MonitorReaderUnavailableTitle: return "Reader unavailable";
    case StringId::MonitorReaderUnavailableText: return "This reader is unavailable: %s";
    case StringId::RegistrationTitle: return "Registering...";
    case StringId::RegistrationAllRegistered: return "All (%d) certificates registered successfully!";
    case StringId::RegistrationSomeFailed: return "Of %d certificates, %d could not be registered!";
    case StringId::RegistrationCountRegistered: return "%d certificates registered successfully!";
    case StringId::RegistrationNothingRegistered: return "No certificate was registered!";
    case StringId::RegistrationNoticeTitle: return "Notice";
    case StringId::RegistrationOneExpired: return "A certificate has expired.";
    case StringId::RegistrationSomeExpired: return "%d certificates have expired.";
    case StringId::RegistrationOneExpiring: return "A certificate is about to expire.";
    case StringId::RegistrationSomeExpiring: return "%d certificates are about to expire.";
    case StringId::RegistrationAllUnregistered: return "All (%d) certificates unregistered successfully!";
    case StringId::RegistrationSomeUnregisterFailed: return "Of %d certificates, %d could not be unregistered!";
    case StringId::FirstUnnumbered:
    case StringId::EndOfTable:
      break;
  }
  return nullptr;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* KelmardinEnglishText(int id) {
  return English(static_cast<Res::StringId>(id));
}
