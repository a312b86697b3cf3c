// The renewal dialog: which card certificates a found certificate replaces, which are
// only deleted, and which public keys receive one. Rows can be unticked, old and new
// certificates viewed, and in the advanced view another candidate chosen; OK carries out
// the ticked rows under the task list.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QTableWidget>

#include <functional>
#include <string>
#include <vector>

#include "RenewalPairing.h"
#include "RenewalTable.h"

// Our own certificate picker: the candidates by name and validity; answers the chosen
// one's thumbprint.
class CertificatePickerDialog : public QDialog {
  Q_OBJECT
 public:
  CertificatePickerDialog(const std::vector<std::string>& thumbprints, const TvrServices::CandidateMap& candidates,
                          QWidget* parent = nullptr);
  // Empty unless a certificate was chosen.
  std::string Chosen() const;
  QListWidget* List() const { return list_; }

 private:
  QListWidget* list_;
};

class RenewCertificatesDialog : public QDialog {
  Q_OBJECT
 public:
  RenewCertificatesDialog(const TvrServices::RenewalSource& source, const TvrServices::CandidateMap& candidates,
                          QWidget* parent = nullptr);

  // Whether the card changed (read after the dialog ended).
  bool Changed() const { return changed_; }

  QTableWidget* List() const { return list_; }
  QCheckBox* AdvancedView() const { return advanced_; }
  QDialogButtonBox* Buttons() const { return buttons_; }
  const RenewalTable& Table() const { return table_; }

  // What a click on a cell does: link cells show a certificate or, in column 7, let the
  // user choose another candidate.
  void ClickCell(int row, int column);

  // Replace how certificates are shown and candidates chosen (tests).
  void SetCertificateViewer(std::function<void(const std::vector<uint8_t>&)> viewer) { viewer_ = std::move(viewer); }
  void SetChooser(std::function<std::string(const std::vector<std::string>&)> chooser) {
    chooser_ = std::move(chooser);
  }
  // Runs before the task list is shown modally, with the task list (tests).
  void SetTaskListHook(std::function<void(QDialog&)> hook) { taskListHook_ = std::move(hook); }

  // Carries out the ticked rows, then ends with OK.
  void accept() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Fill();
  void FillRow(int row);
  // The row's tick as the table has it: checked or not, enabled or not.
  void ShowTick(int row);
  void OnAdvancedView(bool on);
  // The width that shows every column (within reason).
  int FittingWidth() const;
  bool eventFilter(QObject* watched, QEvent* event) override;

  TvrServices::RenewalSource source_;
  const TvrServices::CandidateMap& candidates_;
  RenewalTable table_;
  QTableWidget* list_;
  QCheckBox* advanced_;
  QDialogButtonBox* buttons_;
  std::function<void(const std::vector<uint8_t>&)> viewer_;
  std::function<std::string(const std::vector<std::string>&)> chooser_;
  std::function<void(QDialog&)> taskListHook_;
  bool changed_ = false;
  bool filling_ = false;
  bool sized_ = false;
};
