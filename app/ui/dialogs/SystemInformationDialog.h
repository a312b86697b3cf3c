// The system information: the support report in a read-only text box, with copy to the
// clipboard and save to a text file. The report is built on a worker when the dialog
// opens (it asks the PC/SC service, systemd and the disks); the dialog shows at once and
// fills in when the report is done.
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
  bool ReportReady() const { return ready_; }
  // The report as copied and saved (UTF-8, CRLF line ends); empty until it is ready.
  const std::string& Report() const { return report_; }

  void CopyToClipboard();
  // Writes the report to that file; a failure is shown. False when nothing was saved.
  bool SaveTo(const QString& path);

 signals:
  void reportReady();

 private:
  void ShowReport(std::string report);

  IUserPort& port_;
  std::string report_;
  bool ready_ = false;
  QPlainTextEdit* text_ = nullptr;
  QPushButton* copy_ = nullptr;
  QPushButton* save_ = nullptr;
};
