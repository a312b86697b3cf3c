// The settings page of the property sheet: each change is written to the profile at once.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QWidget>

#include "Settings.h"

class SettingsPage : public QWidget {
  Q_OBJECT
 public:
  SettingsPage(IUserPort& port, QWidget* parent = nullptr);

  // Fills the controls from the profile (each time the page is shown).
  void OnSetActive();

  QCheckBox* splashCheck;
  QCheckBox* keysCheck;
  QCheckBox* keysWithoutCertificateCheck;
  QCheckBox* ballonsCheck;
  QCheckBox* ballonsOnlyCheck;
  QComboBox* languageCombo;
  QLineEdit* waitEdit;
  QComboBox* logLevelCombo;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  SettingsPageLogic logic_;
  bool filling_ = false;
};
