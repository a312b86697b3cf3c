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
    case StringId::FolderUnusable: return "The folder %s cannot be used: %s";
    case StringId::FolderCannotBeCreated: return "it cannot be created (%s).";
    case StringId::FolderCannotBeOpened: return "it cannot be opened (%s).";
    case StringId::FolderIsALink: return "it is a symbolic link, not a folder.";
    case StringId::FolderIsNotAFolder: return "it is not a folder.";
    case StringId::FolderOfAnotherUser: return "it belongs to another user (user id: %s).";
    case StringId::FolderWritableByOthers: return "others may write to it (permissions: %s).";
    case StringId::FolderModeNotSet: return "its permissions cannot be set (%s).";
    case StringId::FolderLockFileUnusable: return "its lock file (%s) cannot be used (%s).";
    case StringId::FolderInUseElsewhere:
      return "another running copy of the program uses it (computer: %s, process: %s) and cannot be reached.";
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
    case StringId::ReaderListLabel: return "Reader:";
    case StringId::CardListLabel: return "Card:";
    case StringId::LoginButton: return "Log in";
    case StringId::LogoutButton: return "Log out";
    case StringId::LogoutFailed: return "Logging out failed!";
    case StringId::CardReadError: return "An error occurred while reading the card!";
    case StringId::StoreOpenError: return "The certificate store cannot be opened!";
    case StringId::GlobalPinDialogTitle: return "Enter Global PIN";
    case StringId::PropertiesPageTitle: return "Properties";
    case StringId::ContentsPageTitle: return "Contents";
    case StringId::PinPageTitle: return "PIN operations";
    case StringId::AdvancedSettingsPageTitle: return "Advanced settings";
    case StringId::TokenLabelField: return "Label:";
    case StringId::TokenModelField: return "Type:";
    case StringId::TokenSerialField: return "Serial number:";
    case StringId::SystemMenu: return "&System";
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
    // PIN activation on insertion and the PIN page
    case StringId::TransportStateNotice: return "The card is in transport state. Please activate the PIN!";
    case StringId::NotImplemented: return "Not implemented!";
    case StringId::LastTryWarning:
      return "You have only one attempt left. If you are unsure, ask an expert for help!";
    case StringId::RetryQuestion: return "Do you want to try again?";
    case StringId::TriesLeft: return "You have %d attempts left.";
    case StringId::GlobalPukTriesLeft: return "The Global PUK will be locked after %d wrong attempts.";
    case StringId::GlobalPukLocked: return "The Global PUK is locked.";
    case StringId::SigningPinTriesLeft: return "The Signing PIN will be locked after %d wrong attempts.";
    case StringId::SigningPinLocked: return "The Signing PIN is locked.";
    case StringId::SigningPukTriesLeft: return "The Signing PUK will be locked after %d wrong attempts.";
    case StringId::SigningPukLocked: return "The Signing PUK is locked.";
    case StringId::PukTriesLeft: return "The PUK will be locked after %d wrong attempts.";
    case StringId::PukLocked: return "The PUK is locked.";
    case StringId::SigningPinActivationTitle: return "Signing PIN activation";
    case StringId::PinActivationTitle: return "PIN activation";
    case StringId::SigningPinActivationFailed: return "Signing PIN activation failed!";
    case StringId::SigningPinActivated: return "Signing PIN activated successfully!";
    case StringId::GlobalPinActivationFailed: return "Global PIN activation failed!";
    case StringId::PinActivationFailed: return "PIN activation failed!";
    case StringId::PinActivated: return "PIN activated successfully!";
    case StringId::PinCardNotInReader: return "The card is not in the reader!";
    case StringId::PinStatusLabel: return "PIN status:";
    case StringId::PinChangeLabel: return "Change PIN:";
    case StringId::PinPadChangeTitle: return "Change PIN";
    case StringId::PinPadUnblockTitle: return "Unblock PIN";
    case StringId::PinPadCurrentPinLabel: return "Current PIN:";
    case StringId::PinPadPukLabel: return "PUK:";
    case StringId::PinPadNewPinLabel: return "New PIN:";
    case StringId::PinPadNewPinAgainLabel: return "New PIN (again):";
    case StringId::PinPadEnterCurrentPin: return "Please enter the current PIN!";
    case StringId::PinPadEnterNewPin: return "Please enter the new PIN!";
    case StringId::PinPadEnterNewPinAgain: return "Please enter the new PIN again!";
    case StringId::PinPadChangeSucceeded: return "PIN changed successfully!";
    case StringId::PinPadUnblockSucceeded: return "PIN unblocked successfully!";
    case StringId::PinPadTimedOut: return "The operation was cancelled because it timed out!";
    case StringId::PinPadCancelled: return "The operation was cancelled at the user's request!";
    case StringId::PinPadNewPinsDiffer: return "The new PINs you entered do not match!";
    case StringId::PinPadBadParameter: return "Invalid parameter!";
    case StringId::PinPadWrongPin: return "Wrong PIN!";
    case StringId::PinPadWrongPuk: return "Wrong PUK!";
    case StringId::PinUnblockLabel: return "Unblock PIN:";
    case StringId::PinStatusButton: return "PIN status";
    case StringId::PinChangeButton: return "Change PIN";
    case StringId::PinUnblockButton: return "Unblock PIN";
    case StringId::GlobalPinChangeButton: return "Change Global PIN";
    case StringId::GlobalPinUnblockButton: return "Unblock Global PIN";
    case StringId::SigningPinChangeButton: return "Change Signing PIN";
    case StringId::SigningPinUnblockButton: return "Unblock Signing PIN";
    case StringId::TransportState: return "Transport state";
    case StringId::YesWord: return "yes";
    case StringId::NoWord: return "no";
    case StringId::NoInformation: return "No information available!";
    case StringId::PleaseLogOut: return "Please log out!";
    case StringId::PinChanged: return "PIN changed successfully!";
    case StringId::PinChangeFailed: return "PIN change failed!";
    case StringId::GlobalPinChanged: return "Global PIN changed successfully!";
    case StringId::GlobalPinChangeFailed: return "Global PIN change failed!";
    case StringId::SigningPinChanged: return "Signing PIN changed successfully!";
    case StringId::SigningPinChangeFailed: return "Signing PIN change failed!";
    case StringId::PinUnblocked: return "PIN unblocked successfully!";
    case StringId::PinUnblockFailed: return "PIN unblock failed!";
    case StringId::GlobalPinUnblocked: return "Global PIN unblocked successfully!";
    case StringId::GlobalPinUnblockFailed: return "Global PIN unblock failed!";
    case StringId::SigningPinUnblocked: return "Signing PIN unblocked successfully!";
    case StringId::SigningPinUnblockFailed: return "Signing PIN unblock failed!";
    // Certificate texts, contents page, certificate commands, copy to folder, advanced settings
    case StringId::CertTypeDefault: return "Certificate";
    case StringId::CertTypeAuthentication: return "Authentication certificate";
    case StringId::CertTypeEncryption: return "Encryption certificate";
    case StringId::CertTypeSigning: return "Signing certificate";
    case StringId::CertTypeQualifiedSigning: return "Qualified signing certificate";
    case StringId::CertTypeSeal: return "Seal certificate";
    case StringId::CertTypeQualifiedSeal: return "Qualified seal certificate";
    case StringId::CertTypeCodeSigning: return "Code signing certificate";
    case StringId::CertTypeRootCa: return "Root certification authority certificate";
    case StringId::CertTypeCa: return "Certification authority certificate";
    case StringId::CertHolder: return "Holder";
    case StringId::ContentsCardRoot: return "Card - Serial number: %s";
    case StringId::ContentsPublicKey: return "Public key";
    case StringId::ContentsKeyLength: return "Key length";
    case StringId::ContentsBits: return "%d bits";
    case StringId::ContentsPrivateKey: return "Private key";
    case StringId::ContentsExportable: return "Exportable";
    case StringId::ContentsEncryptedData: return "Encrypted data";
    case StringId::ContentsLabel: return "Label";
    case StringId::ContentsCertificateExpired: return "The certificate has expired!";
    case StringId::ContentsCertificateExpiring: return "The certificate will expire soon!";
    case StringId::MenuRenewCertificates: return "Renew certificates";
    case StringId::MenuCopyCertificatesToFolder: return "Copy certificates to a folder";
    case StringId::MenuImportKeyAndCertificate: return "Import key and certificate";
    case StringId::MenuCreateEncryptedData: return "Create encrypted data";
    case StringId::MenuViewCertificate: return "View";
    case StringId::MenuRenewCertificate: return "Renew";
    case StringId::MenuRegisterCertificate: return "Register";
    case StringId::MenuDeleteCertificate: return "Delete";
    case StringId::MenuAssignCertificate: return "Assign certificate";
    case StringId::MenuViewEditEncryptedData: return "View / edit";
    case StringId::MenuDeleteEncryptedData: return "Delete";
    case StringId::ContentsPleaseLogIn: return "Please log in!";
    case StringId::RenewFailed: return "Certificate renewal failed!";
    case StringId::CertificateFileOpenFailed: return "The certificate file could not be opened!";
    case StringId::RenewKeysDiffer:
      return "The public keys of the old and the new certificate differ! The certificate was not renewed.";
    case StringId::OldCertificateDeleteFailed: return "The old certificate could not be deleted!";
    case StringId::NewCertificateCreateFailed: return "The new certificate could not be created!";
    case StringId::RenewSucceeded: return "The certificate was renewed!";
    case StringId::CertificateNotRegistrable: return "The certificate cannot be registered!";
    case StringId::CertificateRegistered: return "The certificate is registered!";
    case StringId::AssignFailed: return "Certificate assignment failed!";
    case StringId::AssignKeysDiffer:
      return "The old public key and the public key of the new certificate differ! The certificate was not assigned.";
    case StringId::AssignSucceeded: return "The certificate was assigned!";
    case StringId::CardChangedDuringCommand: return "The card changed or was removed during the command.";
    case StringId::ContentsCardReadError:
      return "Error reading the card! The following steps will probably solve the problem: \n 1. Insert "
             "the card into the reader again\n 2. Restart the card manager\n 3. Restart the computer";
    case StringId::DeleteConfirm:
      return "Deleting loses the data for good! Do you really want to continue deleting?";
    case StringId::DeleteKeysQuestion:
      return "Do you want to delete the certificate's private and public key too?";
    case StringId::PrivateKeyDeleted: return "Private key deleted: %s";
    case StringId::PublicKeyDeleted: return "Public key deleted: %s";
    case StringId::CertificateDeleted: return "Certificate deleted: %s";
    case StringId::CertificateViewImpossible: return "The certificate cannot be shown!";
    case StringId::CopyToFolderFailed: return "The certificates could not be copied to the folder!";
    case StringId::CopyCertificateFailed: return "The certificate could not be copied to a file: %s";
    case StringId::AutoRegisterLabel: return "Register automatically for these cards:";
    case StringId::DisplayNameColumn: return "Display name";
    case StringId::CertificateDetailsTab: return "Details";
    case StringId::CertificateChainTab: return "Certification path";
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
    case StringId::UpdateProgramAvailable: return "A newer version of %s is available!";
    case StringId::UpdateDriverAvailable: return "A newer version of the %s card driver is available!";
    case StringId::UpdatePopupMessage: return "A new version of the program is available.";
    case StringId::UpdatePopupMoreInfo: return "For more information, visit the web page below:";
    case StringId::AboutInstalledVersion: return "Installed version:";
    case StringId::AboutOnlineVersion: return "Version available online:";
    case StringId::StoreViewerTitle: return "Certificate store";
    case StringId::CopyToClipboardButton: return "Copy to clipboard";
    case StringId::SaveToTextFileButton: return "Save to text file";
    case StringId::StoreRefreshButton: return "Refresh certificate list";
    case StringId::StoreColumnOwner: return "Owner";
    case StringId::StoreColumnIssuer: return "Issuer";
    case StringId::StoreColumnContainer: return "Container name";
    case StringId::StoreColumnProvider: return "Provider name";
    case StringId::StoreColumnProviderType: return "Provider type";
    case StringId::StoreColumnKeySpec: return "Key pair type";
    case StringId::SystemInfoTitle: return "System information";
    case StringId::SystemInfoSaveFilter: return "Text files (*.txt)|*.txt|All files (*.*)|*.*||";
    case StringId::SystemInfoCollecting: return "Collecting the information...";
    case StringId::TextFileSaveFailed: return "The file could not be saved: %s";
    case StringId::RenewalDialogTitle: return "Renew certificates";
    case StringId::RenewalAdvancedView: return "Advanced view";
    case StringId::RenewalColumnOld: return "Old certificate";
    case StringId::RenewalColumnNew: return "New certificate";
    case StringId::RenewalColumnValidity: return "Validity of the new certificate";
    case StringId::RenewalColumnAction: return "Action";
    case StringId::RenewalColumnLabel: return "Label";
    case StringId::RenewalColumnId: return "Identifier";
    case StringId::RenewalNoOldCertificate: return "no certificate installed yet";
    case StringId::RenewalNoNewCertificate: return "no newer certificate found";
    case StringId::RenewalActionDelete: return "delete";
    case StringId::RenewalActionInstall: return "install";
    case StringId::RenewalActionReplace: return "delete and install";
    case StringId::RenewalChange: return "Change";
    case StringId::RenewalTaskDeleteCertificate: return "Deleting the old certificate: %s";
    case StringId::RenewalTaskDeletePublicKey: return "Deleting the old public key: %s";
    case StringId::RenewalTaskDeletePrivateKey: return "Deleting the old private key: %s";
    case StringId::RenewalTaskInstall: return "Installing the new certificate: %s";
    case StringId::RenewalNoCertificates: return "No certificates are available!";
    case StringId::RenewalChooseCertificate: return "Choose a certificate";
    case StringId::PfxFileFilter: return "PFX, P12 files (*.pfx; *p12)|*.pfx; *.p12|PFX files (*.pfx)|*.pfx|P12 files (*.p12)|*.p12|All files (*.*)|*.*||";
    case StringId::PfxOpenFailed: return "The PFX file could not be opened!";
    case StringId::PfxParseFailed: return "The PFX file could not be processed!";
    case StringId::PfxWrongPassword: return "Wrong password!";
    case StringId::PfxNoMac: return "The PFX file has no integrity check (MAC), so the password cannot be verified.";
    case StringId::PfxImportConfirm: return "Start importing the key and certificate?";
    case StringId::PfxResultPrivateKey: return "Private key imported: %s";
    case StringId::PfxResultPublicKey: return "Public key imported: %s";
    case StringId::PfxResultCertificate: return "Certificate imported: %s";
    case StringId::PfxLabelsTitle: return "Key and certificate labels";
    case StringId::PfxLabelPrefix: return "Label prefix:";
    case StringId::PfxLabelPrivateKey: return "Private key label:";
    case StringId::PfxLabelPublicKey: return "Public key label:";
    case StringId::PfxLabelCertificate: return "Certificate label:";
    case StringId::PfxPrivateKeyExists: return "The private key already exists.";
    case StringId::PfxPublicKeyExists: return "The public key already exists.";
    case StringId::PfxCertificateExists: return "The certificate already exists.";
    case StringId::EncDataLabelRequired: return "The label is required!";
    case StringId::EncDataTextRequired: return "The data is required!";
    case StringId::EncDataNoCertificate: return "No encryption certificate is available!";
    case StringId::EncDataDecodeFailed: return "The encrypted data could not be decoded!";
    case StringId::EncDataObjectExists: return "The object already exists.";
    case StringId::EncDataCreateFailed: return "The encrypted data could not be created!";
    case StringId::EncDataDeleteFailed: return "The encrypted data could not be deleted!";
    case StringId::EncDataPickerTitle: return "Select encryption certificate";
    case StringId::EncDataPickerSubject: return "Issued to";
    case StringId::EncDataPickerIssuer: return "Issued by";
    case StringId::EncDataPickerValidity: return "Validity";
    case StringId::EncDataPickerThumbprint: return "SHA-1 thumbprint";
    case StringId::ReplaceCertificateBothKept:
      return "The new certificate has been created, but the old certificate could not be deleted! The old "
             "certificate may still be on the card as well.";
    case StringId::ReplaceCertificateOldLost:
      return "The new certificate could not be created, and the old certificate is no longer on the card either!";
    case StringId::EncDataBothKept:
      return "The new encrypted data has been created, but the old one could not be deleted! The old one may still "
             "be on the card as well, with the same label.";
    case StringId::EncDataOldLost:
      return "The encrypted data could not be created, and the old encrypted data is no longer on the card either!";
    case StringId::ReplaceCertificateOldRestored:
      return "The new certificate could not be created! The old certificate remains on the card.";
    case StringId::PfxMaybeWord: return "not sure, it may be on the card";
    case StringId::PfxResultReread:
      return "Objects of the import may still be on the card! Read the card again!";
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
