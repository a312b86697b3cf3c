// The personal store viewer: every certificate of "MY" with its private-key binding; a
// double click shows a certificate, and the list can be refreshed, copied and saved as CSV.
// It changes nothing in the store.
#pragma once

#include <QDialog>
#include <QPushButton>
#include <QTableWidget>

#include "CertificateStoreList.h"

class IUserPort;

class CertificateStoreViewer : public QDialog {
  Q_OBJECT
 public:
  CertificateStoreViewer(IUserPort& port, QWidget* parent = nullptr);

  QTableWidget* List() const { return list_; }
  QPushButton* CopyButton() const { return copy_; }
  QPushButton* SaveButton() const { return save_; }
  QPushButton* RefreshButton() const { return refresh_; }

  // Reads the store again and shows its rows.
  void Refresh();
  // The export text, as it goes to the clipboard and to a file (UTF-8).
  QByteArray CsvBytes() const;
  void CopyToClipboard();
  // Writes the export to that file; a failure is shown. False when nothing was saved.
  bool SaveTo(const QString& path);
  // Shows the certificate of that row (nothing for -1).
  void ViewCertificate(int row);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  IUserPort& port_;
  CertificateStoreList store_;
  QTableWidget* list_ = nullptr;
  QPushButton* copy_ = nullptr;
  QPushButton* save_ = nullptr;
  QPushButton* refresh_ = nullptr;
  bool sized_ = false;
};
