#include "QtUserPort.h"

#include <QApplication>
#include <QMessageBox>

#include "UiText.h"

int QtUserPort::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  QMessageBox box(parent_.data());
  box.setWindowTitle(caption.empty() ? QApplication::applicationDisplayName() : Q(caption));
  // Texts carry card labels and names: never markup.
  box.setTextFormat(Qt::PlainText);
  box.setText(Q(text));
  switch (flags & 0xF0) {
    case Platform::kMbIconError: box.setIcon(QMessageBox::Critical); break;
    case Platform::kMbIconQuestion: box.setIcon(QMessageBox::Question); break;
    case Platform::kMbIconWarning: box.setIcon(QMessageBox::Warning); break;
    case Platform::kMbIconInformation: box.setIcon(QMessageBox::Information); break;
    default: box.setIcon(QMessageBox::NoIcon); break;
  }
  switch (flags & 0x0F) {
    case Platform::kMbOkCancel:
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      break;
    case Platform::kMbYesNo:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      break;
    default:
      box.setStandardButtons(QMessageBox::Ok);
      break;
  }
  // A system-modal box of Windows blocks the whole program here.
  box.setWindowModality(Qt::ApplicationModal);
  switch (box.exec()) {
    case QMessageBox::Ok: return Platform::kIdOk;
    case QMessageBox::Yes: return Platform::kIdYes;
    case QMessageBox::No: return Platform::kIdNo;
    default: return (flags & 0x0F) == Platform::kMbYesNo ? Platform::kIdNo : Platform::kIdCancel;
  }
}

void QtUserPort::InstallAsPlatformHandler() {
  Platform::SetMessageBoxHandler(
      [this](const std::string& text, const std::string& caption, unsigned flags) {
        return MessageBox(text, caption, flags);
      });
}
