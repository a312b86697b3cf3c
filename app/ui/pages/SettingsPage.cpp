#include "SettingsPage.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "UiText.h"

using Check = SettingsPageLogic::Check;
using Res::StringId;

SettingsPage::SettingsPage(IUserPort& port, QWidget* parent) : QWidget(parent), logic_(port) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(12, 12, 12, 12);
  layout->setSpacing(8);
  splashCheck = new QCheckBox(T(StringId::ShowSplashScreenCheck), this);
  keysCheck = new QCheckBox(T(StringId::ShowKeysCheck), this);
  keysWithoutCertificateCheck = new QCheckBox(T(StringId::ShowKeysWithoutCertificateCheck), this);
  ballonsCheck = new QCheckBox(T(StringId::ShowBallonsCheck), this);
  ballonsOnlyCheck = new QCheckBox(T(StringId::ShowBallonsOnlyFromRegistrationCheck), this);
  layout->addWidget(splashCheck);
  layout->addWidget(keysCheck);
  auto indent = [&](QWidget* w) {
    auto* row = new QHBoxLayout;
    row->addSpacing(20);
    row->addWidget(w);
    layout->addLayout(row);
  };
  indent(keysWithoutCertificateCheck);
  layout->addWidget(ballonsCheck);
  indent(ballonsOnlyCheck);

  auto* grid = new QGridLayout;
  grid->setVerticalSpacing(8);
  languageCombo = new QComboBox(this);
  // A sorted list: "ENG (english)" comes before "HUN (magyar)".
  languageCombo->addItem(T(StringId::LanguageItemEnglish));
  languageCombo->addItem(T(StringId::LanguageItemHungarian));
  grid->addWidget(new QLabel(T(StringId::LanguageLabel), this), 0, 0);
  grid->addWidget(languageCombo, 0, 1, 1, 2);

  waitEdit = new QLineEdit(this);
  waitEdit->setMaxLength(SettingsPageLogic::kWaitFieldMaxLength);
  waitEdit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), waitEdit));
  waitEdit->setAlignment(Qt::AlignCenter);
  waitEdit->setFixedWidth(waitEdit->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 16);
  grid->addWidget(new QLabel(T(StringId::WaitForSCardSvrLabel), this), 1, 0);
  auto* waitRow = new QHBoxLayout;
  waitRow->addWidget(waitEdit);
  waitRow->addWidget(new QLabel(T(StringId::SecondsUnit), this));
  waitRow->addStretch();
  grid->addLayout(waitRow, 1, 1, 1, 2);

  logLevelCombo = new QComboBox(this);
  for (StringId id : {StringId::EventLogLevelOff, StringId::EventLogLevelErrors,
                      StringId::EventLogLevelWarnings, StringId::EventLogLevelAll}) {
    logLevelCombo->addItem(T(id));
  }
  grid->addWidget(new QLabel(T(StringId::EventLogLevelLabel), this), 2, 0);
  grid->addWidget(logLevelCombo, 2, 1, 1, 2);
  grid->setColumnStretch(2, 1);
  layout->addSpacing(6);
  layout->addLayout(grid);
  layout->addStretch();

  auto onCheck = [this](QCheckBox* box, Check check, QCheckBox* governed) {
    connect(box, &QCheckBox::clicked, this, [this, box, check, governed] {
      const bool enabled = logic_.SetCheck(check, box->isChecked());
      if (governed) governed->setEnabled(enabled);
    });
  };
  onCheck(splashCheck, Check::ShowSplashScreen, nullptr);
  onCheck(keysCheck, Check::ShowKeys, keysWithoutCertificateCheck);
  onCheck(keysWithoutCertificateCheck, Check::ShowKeysWithoutCertificate, nullptr);
  onCheck(ballonsCheck, Check::ShowBallons, ballonsOnlyCheck);
  onCheck(ballonsOnlyCheck, Check::ShowBallonsOnlyFromCertificateRegistration, nullptr);
  connect(languageCombo, &QComboBox::activated, this, [this](int index) {
    if (!filling_) logic_.SelectLanguage(languageCombo->itemText(index).toStdString());
  });
  connect(waitEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (!filling_) logic_.SetWaitText(text.toStdString());
  });
  connect(logLevelCombo, &QComboBox::activated, this, [this](int index) {
    if (!filling_) logic_.SelectEventLogLevel(index);
  });
}

void SettingsPage::OnSetActive() {
  filling_ = true;
  const SettingsPageLogic::View v = logic_.Load();
  keysWithoutCertificateCheck->setChecked(v.showKeysWithoutCertificate);
  keysCheck->setChecked(v.showKeys);
  keysWithoutCertificateCheck->setEnabled(v.showKeysWithoutCertificateEnabled);
  ballonsOnlyCheck->setChecked(v.showBallonsOnlyFromCertificateRegistration);
  ballonsCheck->setChecked(v.showBallons);
  ballonsOnlyCheck->setEnabled(v.showBallonsOnlyEnabled);
  splashCheck->setChecked(v.showSplashScreen);
  languageCombo->setCurrentIndex(v.languageItem);
  waitEdit->setText(QString::fromStdString(v.waitForSCardSvr));
  logLevelCombo->setCurrentIndex(v.eventLogLevelItem);
  filling_ = false;
}

void SettingsPage::showEvent(QShowEvent* event) {
  OnSetActive();
  QWidget::showEvent(event);
}
