// The dialogs of the encrypted data objects and of the PFX import: the text editor, the
// choice of encryption certificate and the labels of the imported objects. Each checks
// what it must when OK is pressed and tells refusals through the user port.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include <string>
#include <vector>

#include "PfxImport.h"
#include "TokenObjects.h"
#include "UserPort.h"

// One encrypted data object: its label (read-only once the object exists) and its text.
class EncryptedDataDialog : public QDialog {
  Q_OBJECT
 public:
  EncryptedDataDialog(IUserPort& port, bool labelReadOnly, const QString& label, const QString& text,
                      QWidget* parent = nullptr);
  QString GetLabel() const { return label_; }
  QString GetText() const { return text_; }
  QLineEdit* LabelEdit() { return labelEdit_; }
  QPlainTextEdit* TextEdit() { return textEdit_; }

 public:
  // OK: an editable label and the text must not be empty; the dialog stays open otherwise.
  void accept() override;

 private:
  IUserPort& port_;
  bool labelReadOnly_;
  QString label_, text_;
  QLineEdit* labelEdit_;
  QPlainTextEdit* textEdit_;
};

// The certificates offered for encryption, one row each; the choice is its SHA-1
// thumbprint.
class EncryptionCertificateDialog : public QDialog {
  Q_OBJECT
 public:
  EncryptionCertificateDialog(const std::vector<const CertificateObject*>& offered, QWidget* parent = nullptr);
  // The chosen row's thumbprint; empty when none is chosen.
  std::string Thumbprint() const;
  QTreeWidget* List() { return list_; }

 private:
  QTreeWidget* list_;
};

// The prefix of the three labels and the labels derived from it while it is typed.
class KeyAndCertLabelsDialog : public QDialog {
  Q_OBJECT
 public:
  KeyAndCertLabelsDialog(IUserPort& port, const QString& prefix, const TokenObjects& objects,
                         QWidget* parent = nullptr);
  const KeyAndCertLabels& Labels() const { return labels_; }
  QLineEdit* PrefixEdit() { return prefix_; }
  QLineEdit* PrivateKeyEdit() { return privateKey_; }
  QLineEdit* PublicKeyEdit() { return publicKey_; }
  QLineEdit* CertificateEdit() { return certificate_; }

 public:
  // OK: labels that exist on the token already are refused and the dialog stays open.
  void accept() override;

 private:
  void UpdateLabels(const QString& prefix);

  IUserPort& port_;
  const TokenObjects& objects_;
  KeyAndCertLabels labels_;
  QLineEdit* prefix_;
  QLineEdit* privateKey_;
  QLineEdit* publicKey_;
  QLineEdit* certificate_;
};
