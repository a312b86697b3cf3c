#include "SystemInformationDialog.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPointer>
#include <QThreadPool>
#include <QVBoxLayout>

#include <memory>

#include "CertificateTexts.h"
#include "TextExport.h"
#include "UiText.h"
#include "platform/CardDatabase.h"

using Res::StringId;

SystemInformationDialog::SystemInformationDialog(IUserPort& port, const SystemInfoProbes& probes,
                                                 QWidget* parent)
    : QDialog(parent), port_(port) {
  setWindowTitle(T(StringId::SystemInfoTitle));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  auto* layout = new QVBoxLayout(this);
  text_ = new QPlainTextEdit(this);
  text_->setReadOnly(true);
  text_->setLineWrapMode(QPlainTextEdit::NoWrap);
  text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  text_->setPlainText(T(StringId::SystemInfoCollecting));
  layout->addWidget(text_, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  copy_ = new QPushButton(T(StringId::CopyToClipboardButton), this);
  save_ = new QPushButton(T(StringId::SaveToTextFileButton), this);
  for (QPushButton* button : {copy_, save_}) {
    button->setAutoDefault(false);
    button->setEnabled(false);  // until the report is there
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

  // Built off the interface thread by Qt's shared pool, which the application waits for
  // when it ends. The worker owns what it reads; a dialog closed meanwhile gets nothing.
  std::shared_ptr<const Platform::CardDatabase> cards;
  if (probes.cards) cards = std::make_shared<const Platform::CardDatabase>(*probes.cards);
  QThreadPool::globalInstance()->start([probes, cards, dialog = QPointer<SystemInformationDialog>(this)] {
    SystemInfoProbes own = probes;
    own.cards = cards.get();
    std::string report = SystemInfoReport::Build(own);
    if (QCoreApplication* app = QCoreApplication::instance())
      QMetaObject::invokeMethod(
          app, [dialog, report = std::move(report)]() mutable {
            if (dialog) dialog->ShowReport(std::move(report));
          },
          Qt::QueuedConnection);
  });
}

void SystemInformationDialog::ShowReport(std::string report) {
  // Mount points, device and package names come from outside: plain text, line by line.
  report_ = DisplayLines(report);
  ready_ = true;
  QString shown = QString::fromStdString(report_);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text_->setPlainText(shown);
  copy_->setEnabled(true);
  save_->setEnabled(true);
  emit reportReady();
}

void SystemInformationDialog::CopyToClipboard() { CopyTextToClipboard(QString::fromStdString(report_)); }

bool SystemInformationDialog::SaveTo(const QString& path) {
  return SaveTextFile(path, QByteArray::fromStdString(report_), port_);
}
