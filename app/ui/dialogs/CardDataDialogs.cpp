#include "CardDataDialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QVBoxLayout>

#include <algorithm>

#include "CertificateTexts.h"
#include "SharedUtilities.h"
#include "UiText.h"
#include "platform/MessageBox.h"

namespace {

using Res::StringId;

QDialogButtonBox* AddOkCancel(QDialog* dialog, QLayout* layout) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  layout->addWidget(buttons);
  return buttons;
}

std::string IssuerCommonName(X509* certificate) {
  const std::set<std::string> names = GetNameCommonNames(X509_get_issuer_name(certificate));
  return names.empty() ? std::string() : *names.begin();
}

}  // namespace

EncryptedDataDialog::EncryptedDataDialog(IUserPort& port, bool labelReadOnly, const QString& label,
                                         const QString& text, QWidget* parent)
    : QDialog(parent), port_(port), labelReadOnly_(labelReadOnly), label_(label), text_(text) {
  setWindowTitle(T(StringId::ContentsEncryptedData));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  labelEdit_ = new QLineEdit(label, this);
  labelEdit_->setReadOnly(labelReadOnly);
  form->addRow(T(StringId::TokenLabelField), labelEdit_);
  layout->addLayout(form);
  textEdit_ = new QPlainTextEdit(this);
  // Enter makes a new line; long lines scroll sideways as they do in the card's editor.
  textEdit_->setLineWrapMode(QPlainTextEdit::NoWrap);
  textEdit_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  textEdit_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  textEdit_->setPlainText(text);
  layout->addWidget(textEdit_, 1);
  AddOkCancel(this, layout);
  (labelReadOnly ? static_cast<QWidget*>(textEdit_) : labelEdit_)->setFocus();
  resize(460, 320);
}

void EncryptedDataDialog::accept() {
  if (!labelReadOnly_) {
    label_ = labelEdit_->text();
    if (label_.isEmpty()) {
      port_.MessageBox(Res::Text(StringId::EncDataLabelRequired), "", Platform::kMbIconError);
      return;
    }
  }
  text_ = textEdit_->toPlainText();
  if (text_.isEmpty()) {
    port_.MessageBox(Res::Text(StringId::EncDataTextRequired), "", Platform::kMbIconError);
    return;
  }
  QDialog::accept();
}

EncryptionCertificateDialog::EncryptionCertificateDialog(const std::vector<const CertificateObject*>& offered,
                                                         QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(T(StringId::EncDataPickerTitle));
  auto* layout = new QVBoxLayout(this);
  list_ = new QTreeWidget(this);
  list_->setRootIsDecorated(false);
  list_->setHeaderLabels({T(StringId::EncDataPickerSubject), T(StringId::EncDataPickerIssuer),
                          T(StringId::EncDataPickerValidity), T(StringId::EncDataPickerThumbprint)});
  for (const CertificateObject* record : offered) {
    if (!record || !record->certificate) continue;
    X509* certificate = record->certificate.get();
    auto* row = new QTreeWidgetItem(list_, {Q(GetSubjectCommonName(certificate)), Q(IssuerCommonName(certificate)),
                                            Q(GetValidityText(certificate)), Q(record->GetThumbprint())});
    row->setData(0, Qt::UserRole, Q(record->GetThumbprint()));
  }
  for (int column = 0; column < list_->columnCount(); ++column) list_->resizeColumnToContents(column);
  if (list_->topLevelItemCount() > 0) list_->setCurrentItem(list_->topLevelItem(0));
  connect(list_, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);
  layout->addWidget(list_, 1);
  AddOkCancel(this, layout);
  // Wide enough for the whole thumbprint, which is what the choice is made by.
  int width = 0;
  for (int column = 0; column < list_->columnCount(); ++column) width += list_->columnWidth(column);
  resize(std::max(600, width + 60), 240);
}

std::string EncryptionCertificateDialog::Thumbprint() const {
  const QTreeWidgetItem* row = list_->currentItem();
  return row ? row->data(0, Qt::UserRole).toString().toStdString() : std::string();
}

KeyAndCertLabelsDialog::KeyAndCertLabelsDialog(IUserPort& port, const QString& prefix, const TokenObjects& objects,
                                               QWidget* parent)
    : QDialog(parent), port_(port), objects_(objects) {
  setWindowTitle(T(StringId::PfxLabelsTitle));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  prefix_ = new QLineEdit(prefix, this);
  privateKey_ = new QLineEdit(this);
  publicKey_ = new QLineEdit(this);
  certificate_ = new QLineEdit(this);
  for (QLineEdit* derived : {privateKey_, publicKey_, certificate_}) derived->setReadOnly(true);
  form->addRow(T(StringId::PfxLabelPrefix), prefix_);
  form->addRow(T(StringId::PfxLabelPrivateKey), privateKey_);
  form->addRow(T(StringId::PfxLabelPublicKey), publicKey_);
  form->addRow(T(StringId::PfxLabelCertificate), certificate_);
  layout->addLayout(form);
  AddOkCancel(this, layout);
  connect(prefix_, &QLineEdit::textChanged, this, &KeyAndCertLabelsDialog::UpdateLabels);
  UpdateLabels(prefix);
  setMinimumWidth(460);
}

void KeyAndCertLabelsDialog::UpdateLabels(const QString& prefix) {
  const KeyAndCertLabels labels = LabelsForPrefix(prefix.toStdString());
  privateKey_->setText(Q(labels.privateKey));
  publicKey_->setText(Q(labels.publicKey));
  certificate_->setText(Q(labels.certificate));
}

void KeyAndCertLabelsDialog::accept() {
  UpdateLabels(prefix_->text());
  labels_ = {privateKey_->text().toStdString(), publicKey_->text().toStdString(),
             certificate_->text().toStdString()};
  if (const std::optional<StringId> exists = ExistingLabel(objects_, labels_)) {
    port_.MessageBox(Res::Text(*exists), "", Platform::kMbIconError);
    return;
  }
  QDialog::accept();
}
