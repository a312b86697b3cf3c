// The system information: the support report, built when the dialog opens, in a read-only
// text box, with copy to the clipboard and save to a text file.
#pragma once

#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>

#include <string>

#include "SystemInfoReport.h"

class IUserPort;

class SystemInformationDialog : public QDialog {
  Q_OBJECT
 public:
  SystemInformationDialog(IUserPort& port, const SystemInfoProbes& probes, QWidget* parent = nullptr);

  QPlainTextEdit* Text() const { return text_; }
  QPushButton* CopyButton() const { return copy_; }
  QPushButton* SaveButton() const { return save_; }
  // The report as copied and saved (UTF-8, CRLF line ends).
  const std::string& Report() const { return report_; }

  void CopyToClipboard();
  // Writes the report to that file; a failure is shown. False when nothing was saved.
  bool SaveTo(const QString& path);

 private:
  IUserPort& port_;
  std::string report_;
  QPlainTextEdit* text_ = nullptr;
  QPushButton* copy_ = nullptr;
  QPushButton* save_ = nullptr;
};
