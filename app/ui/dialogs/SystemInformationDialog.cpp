#include "SystemInformationDialog.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPointer>
#include <QVBoxLayout>

#include <memory>
#include <system_error>
#include <thread>

#include "TextExport.h"
#include "UiText.h"
#include "platform/CardDatabase.h"

using Res::StringId;

namespace {

// Builds one report off the interface thread. The worker owns everything it reads, and
// delivers through `courier`, an object of the interface thread that lives until then: a
// dialog closed meanwhile costs nothing but the worker's own time.
void BuildOnWorker(SystemInfoProbes probes, QPointer<SystemInformationDialog> dialog,
                   const std::function<void(SystemInformationDialog&, std::string)>& show) {
  std::shared_ptr<const Platform::CardDatabase> cards;
  if (probes.cards) cards = std::make_shared<const Platform::CardDatabase>(*probes.cards);
  auto* courier = new QObject;
  try {
    std::thread([probes, cards, dialog, show, courier]() mutable {
      probes.cards = cards.get();
      std::string report = SystemInfoReport::Build(probes);
      QMetaObject::invokeMethod(
          courier,
          [courier, dialog, show, report = std::move(report)]() mutable {
            if (dialog) show(*dialog, std::move(report));
            courier->deleteLater();
          },
          Qt::QueuedConnection);
    }).detach();
  } catch (const std::system_error&) {
    delete courier;
    show(*dialog, SystemInfoReport::Build(probes));
  }
}

}  // namespace

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
  BuildOnWorker(probes, QPointer<SystemInformationDialog>(this),
                [](SystemInformationDialog& dialog, std::string report) { dialog.ShowReport(std::move(report)); });
}

void SystemInformationDialog::ShowReport(std::string report) {
  report_ = std::move(report);
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
