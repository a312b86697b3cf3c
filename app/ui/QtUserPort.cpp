#include "QtUserPort.h"

#include <QApplication>
#include <QMessageBox>

#include <utility>
#include <vector>

#include "EventLog.h"
#include "UiText.h"

namespace {

struct ButtonAnswer {
  QMessageBox::StandardButton button;
  int answer;
};

// The buttons of a button set, in the order Windows shows them, with the answer of each.
// A set this table does not know shows OK alone.
std::vector<ButtonAnswer> ButtonsOf(unsigned flags) {
  switch (flags & Platform::kMbTypeMask) {
    case Platform::kMbOkCancel:
      return {{QMessageBox::Ok, Platform::kIdOk}, {QMessageBox::Cancel, Platform::kIdCancel}};
    case Platform::kMbAbortRetryIgnore:
      return {{QMessageBox::Abort, Platform::kIdAbort},
              {QMessageBox::Retry, Platform::kIdRetry},
              {QMessageBox::Ignore, Platform::kIdIgnore}};
    case Platform::kMbYesNoCancel:
      return {{QMessageBox::Yes, Platform::kIdYes},
              {QMessageBox::No, Platform::kIdNo},
              {QMessageBox::Cancel, Platform::kIdCancel}};
    case Platform::kMbYesNo:
      return {{QMessageBox::Yes, Platform::kIdYes}, {QMessageBox::No, Platform::kIdNo}};
    case Platform::kMbRetryCancel:
      return {{QMessageBox::Retry, Platform::kIdRetry}, {QMessageBox::Cancel, Platform::kIdCancel}};
    default:
      return {{QMessageBox::Ok, Platform::kIdOk}};
  }
}

}  // namespace

int QtUserPort::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  if (ended_) {
    // Nobody is there to answer: the program is on its way out.
    LogEvent(EVENTLOG_INFORMATION_TYPE, "Message not shown, the program ends: " + text);
    return Platform::ClosedAnswer(flags);
  }
  QMessageBox box(parent_.data());
  box.setWindowTitle(caption.empty() ? QApplication::applicationDisplayName() : Q(caption));
  // Texts carry card labels and names: never markup.
  box.setTextFormat(Qt::PlainText);
  box.setText(Q(text));
  switch (flags & Platform::kMbIconMask) {
    case Platform::kMbIconError: box.setIcon(QMessageBox::Critical); break;
    case Platform::kMbIconQuestion: box.setIcon(QMessageBox::Question); break;
    case Platform::kMbIconWarning: box.setIcon(QMessageBox::Warning); break;
    case Platform::kMbIconInformation: box.setIcon(QMessageBox::Information); break;
    default: box.setIcon(QMessageBox::NoIcon); break;
  }
  const std::vector<ButtonAnswer> buttons = ButtonsOf(flags);
  const int closed = Platform::ClosedAnswer(flags);
  QMessageBox::StandardButtons shown;
  for (const ButtonAnswer& b : buttons) shown |= b.button;
  box.setStandardButtons(shown);
  // As Windows does: the first button is the default, Escape and the close box give the
  // answer of closing.
  box.setDefaultButton(buttons.front().button);
  for (const ButtonAnswer& b : buttons)
    if (b.answer == closed) box.setEscapeButton(b.button);
  // A system-modal box of Windows blocks the whole program here.
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
  const QAbstractButton* clicked = box.clickedButton();
  for (const ButtonAnswer& b : buttons)
    if (clicked && clicked == box.button(b.button)) return b.answer;
  return closed;
}

void QtUserPort::InstallAsPlatformHandler() {
  Platform::SetMessageBoxHandler(
      [this](const std::string& text, const std::string& caption, unsigned flags) {
        return MessageBox(text, caption, flags);
      });
}
