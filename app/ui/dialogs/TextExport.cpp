#include "TextExport.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <QSaveFile>
#include <QStringList>

#include "TextFormat.h"
#include "UiText.h"
#include "UserPort.h"
#include "platform/MessageBox.h"

void CopyTextToClipboard(const QString& text) {
  if (QClipboard* clipboard = QGuiApplication::clipboard()) clipboard->setText(text);
}

QString AskSaveFileName(QWidget* parent, const QString& defaultName, const QString& defaultSuffix,
                        const std::string& resourceFilter) {
  // "Name|pattern|Name|pattern||" -> "Name;;Name" (Qt reads the patterns from the names).
  const QStringList parts = QString::fromStdString(resourceFilter).split('|', Qt::SkipEmptyParts);
  QStringList filters;
  for (qsizetype i = 0; i < parts.size(); i += 2) filters << parts[i].trimmed();
  QFileDialog dialog(parent);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(defaultSuffix);
  dialog.setNameFilters(filters);
  dialog.selectFile(defaultName);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}

bool SaveTextFile(const QString& path, const QByteArray& bytes, IUserPort& port) {
  QSaveFile file(path);
  bool ok = file.open(QIODevice::WriteOnly);
  if (ok) ok = file.write(bytes) == bytes.size();
  if (ok) ok = file.commit();
  if (!ok) {
    const std::string reason = (path + ": " + file.errorString()).toStdString();
    port.MessageBox(FormatText(Res::Text(Res::StringId::TextFileSaveFailed), reason.c_str()), "",
                    Platform::kMbOk | Platform::kMbIconError);
  }
  return ok;
}
