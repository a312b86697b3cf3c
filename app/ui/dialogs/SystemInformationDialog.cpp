#include "SystemInformationDialog.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "TextExport.h"
#include "UiText.h"

using Res::StringId;

SystemInformationDialog::SystemInformationDialog(IUserPort& port, const SystemInfoProbes& probes,
                                                 QWidget* parent)
    : QDialog(parent), port_(port), report_(SystemInfoReport::Build(probes)) {
  setWindowTitle(T(StringId::SystemInfoTitle));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  auto* layout = new QVBoxLayout(this);
  text_ = new QPlainTextEdit(this);
  text_->setReadOnly(true);
  text_->setLineWrapMode(QPlainTextEdit::NoWrap);
  text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  QString shown = QString::fromStdString(report_);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text_->setPlainText(shown);
  layout->addWidget(text_, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  copy_ = new QPushButton(T(StringId::CopyToClipboardButton), this);
  save_ = new QPushButton(T(StringId::SaveToTextFileButton), this);
  for (QPushButton* button : {copy_, save_}) {
    button->setAutoDefault(false);
    buttons->addWidget(button);
  }
  layout->addLayout(buttons);
  connect(copy_, &QPushButton::clicked, this, &SystemInformationDialog::CopyToClipboard);
  connect(save_, &QPushButton::clicked, this, [this] {
    const QString path = AskSaveFileName(this, QStringLiteral("SystemInformation"), QStringLiteral("txt"),
                                         Res::Text(StringId::SystemInfoSaveFilter));
    if (!path.isEmpty()) SaveTo(path);
  });
  resize(640, 520);
}

void SystemInformationDialog::CopyToClipboard() { CopyTextToClipboard(QString::fromStdString(report_)); }

bool SystemInformationDialog::SaveTo(const QString& path) {
  return SaveTextFile(path, QByteArray::fromStdString(report_), port_);
}
