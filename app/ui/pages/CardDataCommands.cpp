#include "CardDataCommands.h"

#include <QFileDialog>

#include "CardDataDialogs.h"
#include "CertificateTexts.h"
#include "ContentsPage.h"
#include "PinDialogs.h"
#include "UiText.h"

QStringList NameFiltersFromList(const QString& list) {
  const QStringList parts = list.split('|');
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].isEmpty()) break;
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    filters << parts[i] + " (" + patterns.simplified() + ")";
  }
  return filters;
}

QtCardDataDialogs::QtCardDataDialogs(IUserPort& port, QWidget* page) : port_(port), page_(page) {}

std::optional<std::string> QtCardDataDialogs::ChooseEncryptionCertificate(
    const std::vector<const CertificateObject*>& offered) {
  if (offered.empty()) return std::nullopt;
  EncryptionCertificateDialog dialog(offered, page_);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const std::string thumbprint = dialog.Thumbprint();
  if (thumbprint.empty()) return std::nullopt;
  return thumbprint;
}

std::optional<EncryptedDataText> QtCardDataDialogs::EditEncryptedData(bool labelReadOnly, const std::string& label,
                                                                      const std::string& text) {
  // The label may come from another program's card: shown as CP1250 when it is no UTF-8.
  // A read-only label is never read back, so the stored bytes stay as they are.
  EncryptedDataDialog dialog(port_, labelReadOnly, Q(labelReadOnly ? Utf8ToCString(label) : label), Q(text),
                             page_);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return EncryptedDataText{labelReadOnly ? label : dialog.GetLabel().toStdString(), dialog.GetText().toStdString()};
}

std::optional<std::string> QtCardDataDialogs::ChoosePfxFile() {
  QFileDialog dialog(page_);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  dialog.setNameFilters(NameFiltersFromList(T(Res::StringId::PfxFileFilter)));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first().toStdString();
}

std::optional<TvrCommon::SecureString> QtCardDataDialogs::AskPfxPassword(const std::string& fileName) {
  PasswordDialog dialog(port_, Q(fileName), page_ ? page_->window() : nullptr);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.Password();
}

std::optional<KeyAndCertLabels> QtCardDataDialogs::AskLabels(const std::string& prefix, const TokenObjects& objects) {
  KeyAndCertLabelsDialog dialog(port_, Q(prefix), objects, page_ ? page_->window() : nullptr);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.Labels();
}

CardDataCommands::CardDataCommands(ContentsPage& page, IContentsHost& host, IUserPort& port)
    : QObject(&page),
      dialogs_(port, &page),
      encrypted_(host, page, port, dialogs_),
      import_(host, page, port, dialogs_, page.Commands()) {
  encrypted_.Install(page.Commands());
  import_.Install();
}
