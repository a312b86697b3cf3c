#include <gtest/gtest.h>

#include <QTest>

#include "PinDialogs.h"
#include "UiTestSupport.h"

namespace {

class PinDialogTest : public ::testing::Test {
 protected:
  UiTest::ScriptedUserPort port;
  std::vector<std::string> Boxes() const {
    std::vector<std::string> texts;
    for (const auto& box : port.boxes) {
      EXPECT_EQ(box.flags, Platform::kMbIconError);
      texts.push_back(box.text);
    }
    return texts;
  }
};

TEST_F(PinDialogTest, ShortPinIsRefusedThenAcceptedAtTheMinimum) {
  PinDialog dialog(port, false, {}, 4, 8);
  EXPECT_EQ(dialog.windowTitle(), "PIN kód megadása");
  dialog.show();
  QTest::keyClicks(dialog.Edit(), "123");
  dialog.accept();
  EXPECT_EQ(Boxes(), std::vector<std::string>{"A PIN kód túl rövid!"});
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_NE(dialog.result(), QDialog::Accepted);
  QTest::keyClicks(dialog.Edit(), "4");
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_STREQ(dialog.Value().CStr(), "1234");
  // The field does not keep the PIN once the dialog is done.
  EXPECT_TRUE(dialog.Edit()->text().isEmpty());
}

TEST_F(PinDialogTest, PukDialogHasItsOwnTexts) {
  PinDialog dialog(port, true, {}, 8, 8);
  EXPECT_EQ(dialog.windowTitle(), "PUK kód megadása");
  dialog.accept();
  EXPECT_EQ(Boxes(), std::vector<std::string>{"A PUK kód túl rövid!"});
}

TEST_F(PinDialogTest, MaximumZeroMeansNoLimitAndOnlyDigitsAreTaken) {
  PinDialog dialog(port, false, "Globál PIN megadása", 0, 0);
  EXPECT_EQ(dialog.windowTitle(), "Globál PIN megadása");
  dialog.show();
  QTest::keyClicks(dialog.Edit(), "12345678901234567890123456789012345678901234567890");
  EXPECT_EQ(dialog.Edit()->text().size(), 50);
  QTest::keyClicks(dialog.Edit(), "ab-c");
  EXPECT_EQ(dialog.Edit()->text().size(), 50);

  PinDialog limited(port, false, {}, 4, 6);
  limited.show();
  QTest::keyClicks(limited.Edit(), "123456789");
  EXPECT_EQ(limited.Edit()->text(), "123456");
}

TEST_F(PinDialogTest, ChangeReportsMismatchBeforeLengths) {
  PinChangeDialog dialog(port, "PIN módosítás", 4, 8);
  dialog.show();
  QTest::keyClicks(dialog.CurrentEdit(), "1");  // too short as well
  QTest::keyClicks(dialog.NewEdit(), "5678");
  QTest::keyClicks(dialog.RepeatEdit(), "5679");
  dialog.accept();
  QTest::keyClick(dialog.RepeatEdit(), Qt::Key_Backspace);
  QTest::keyClicks(dialog.RepeatEdit(), "8");
  dialog.accept();
  QTest::keyClicks(dialog.CurrentEdit(), "234");
  dialog.NewEdit()->setText("56");
  dialog.RepeatEdit()->setText("56");
  dialog.accept();
  EXPECT_EQ(Boxes(), (std::vector<std::string>{"A megadott új PIN kódok nem egyeznek!",
                                                "A régi PIN kód túl rövid!",
                                                "Az új PIN kód túl rövid!"}));
  dialog.NewEdit()->setText("5678");
  dialog.RepeatEdit()->setText("5678");
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_STREQ(dialog.CurrentPin().CStr(), "1234");
  EXPECT_STREQ(dialog.NewPin().CStr(), "5678");
}

TEST_F(PinDialogTest, UnblockReportsMismatchBeforeAShortPuk) {
  PinUnblockDialog dialog(port, "PIN feloldása", 4, 8, 8, 8);
  dialog.show();
  QTest::keyClicks(dialog.PukEdit(), "123");
  QTest::keyClicks(dialog.NewEdit(), "1111");
  QTest::keyClicks(dialog.RepeatEdit(), "2222");
  dialog.accept();
  dialog.RepeatEdit()->setText("1111");
  dialog.accept();
  EXPECT_EQ(Boxes(), (std::vector<std::string>{"A megadott új PIN kódok nem egyeznek!",
                                                "A PUK kód túl rövid!"}));
  EXPECT_NE(dialog.result(), QDialog::Accepted);
}

TEST_F(PinDialogTest, PasswordTakesAnyTextAndEmpty) {
  PasswordDialog dialog(port, "teszt.pfx");
  dialog.show();
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_STREQ(dialog.Password().CStr(), "");
  PasswordDialog second(port, "teszt.pfx");
  second.show();
  second.Edit()->setText(QString::fromUtf8("jelszó Ő!"));
  second.accept();
  EXPECT_EQ(std::string(second.Password().CStr()), "jelszó Ő!");
  EXPECT_TRUE(port.boxes.empty());
}

}  // namespace
