// The real message box of the program: for every button set and icon the program passes,
// the buttons it shows and the answer each of them gives.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <set>
#include <vector>

#include "QtUserPort.h"
#include "platform/MessageBox.h"

namespace {

using Platform::kIdAbort;
using Platform::kIdCancel;
using Platform::kIdIgnore;
using Platform::kIdNo;
using Platform::kIdOk;
using Platform::kIdRetry;
using Platform::kIdYes;

struct Shown {
  std::set<QMessageBox::StandardButton> buttons;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Runs the box and, once it is up, notes what it shows and then acts on it.
int RunBox(unsigned flags, Shown& shown, const std::function<void(QMessageBox&)>& act) {
  QtUserPort port;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) {
      ADD_FAILURE() << "no message box";
      return;
    }
    for (QAbstractButton* button : box->buttons()) shown.buttons.insert(box->standardButton(button));
    shown.icon = box->icon();
    act(*box);
  });
  return port.MessageBox("szöveg", "", flags);
}

TEST(QtUserPortTest, EveryButtonSetShowsItsButtonsAndAnswersForEach) {
  struct Case {
    unsigned flags;
    std::vector<std::pair<QMessageBox::StandardButton, int>> buttons;  // and the answer of each
    int closed;  // the answer of Escape
  } cases[] = {
      {Platform::kMbOk, {{QMessageBox::Ok, kIdOk}}, kIdOk},
      {Platform::kMbOkCancel, {{QMessageBox::Ok, kIdOk}, {QMessageBox::Cancel, kIdCancel}}, kIdCancel},
      {Platform::kMbAbortRetryIgnore,
       {{QMessageBox::Abort, kIdAbort}, {QMessageBox::Retry, kIdRetry}, {QMessageBox::Ignore, kIdIgnore}},
       kIdAbort},
      {Platform::kMbYesNoCancel,
       {{QMessageBox::Yes, kIdYes}, {QMessageBox::No, kIdNo}, {QMessageBox::Cancel, kIdCancel}},
       kIdCancel},
      {Platform::kMbYesNo, {{QMessageBox::Yes, kIdYes}, {QMessageBox::No, kIdNo}}, kIdNo},
      {Platform::kMbRetryCancel, {{QMessageBox::Retry, kIdRetry}, {QMessageBox::Cancel, kIdCancel}}, kIdCancel},
  };
  for (const Case& c : cases) {
    std::set<QMessageBox::StandardButton> expected;
    for (const auto& [button, answer] : c.buttons) expected.insert(button);
    for (const auto& [button, answer] : c.buttons) {
      SCOPED_TRACE(testing::Message() << "flags " << c.flags << ", button " << button);
      Shown shown;
      const int result = RunBox(c.flags | Platform::kMbIconQuestion, shown,
                                [button = button](QMessageBox& box) { box.button(button)->click(); });
      EXPECT_EQ(shown.buttons, expected);
      EXPECT_EQ(result, answer);
    }
    SCOPED_TRACE(testing::Message() << "flags " << c.flags << ", closed");
    Shown shown;
    EXPECT_EQ(RunBox(c.flags, shown, [](QMessageBox& box) { box.close(); }), c.closed);
  }
}

TEST(QtUserPortTest, IconsFollowTheFlags) {
  struct Case {
    unsigned flags;
    QMessageBox::Icon icon;
  } cases[] = {
      {0, QMessageBox::NoIcon},
      {Platform::kMbIconError, QMessageBox::Critical},
      {Platform::kMbIconQuestion, QMessageBox::Question},
      {Platform::kMbIconWarning, QMessageBox::Warning},
      {Platform::kMbIconInformation, QMessageBox::Information},
      {Platform::kMbIconError | Platform::kMbSystemModal, QMessageBox::Critical},
  };
  for (const Case& c : cases) {
    Shown shown;
    RunBox(c.flags | Platform::kMbYesNoCancel, shown, [](QMessageBox& box) { box.button(QMessageBox::No)->click(); });
    EXPECT_EQ(shown.icon, c.icon) << c.flags;
  }
}

}  // namespace
