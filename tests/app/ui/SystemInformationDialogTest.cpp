// The system-information dialog over the report's fixture root: the shown text, copy, save
// (and its failure), and the screenshot.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QTest>

#include <unistd.h>

#include <filesystem>

#include "SystemInformationDialog.h"
#include "UiTestSupport.h"
#include "platform/CardDatabase.h"

namespace {

class SystemInformationDialogTest : public ::testing::Test {
 protected:
  SystemInformationDialogTest() {
    probes.root = std::string(TVR_SERVICES_FIXTURE_DIR) + "/sysinfo";
    probes.diskSpace = [](const std::string&, uint64_t& total, uint64_t& free) {
      total = 250059350016;
      free = 123456789012;
      return true;
    };
    probes.readers = [] { return std::string("Gemalto PC Twin Reader 00 00\r\n  VendorName: Gemalto\r\n"); };
    probes.smartCardServiceReachable = [] { return true; };
    probes.unitProperties = [](const std::string&) {
      return std::map<std::string, std::string>{{"UnitFileState", "indirect"},
                                                {"Description", "PC/SC Smart Card Daemon"}};
    };
  }
  UiTest::ProfileSandbox sandbox;
  UiTest::ScriptedUserPort port;
  SystemInfoProbes probes;
};

TEST_F(SystemInformationDialogTest, ShowsCopiesAndSavesTheReportWithCrLf) {
  SystemInformationDialog dialog(port, probes);
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.ReportReady(); }, 20000));
  const std::string& report = dialog.Report();
  ASSERT_EQ(report.rfind("Processor: Intel(R) Core(TM) i5-8250U CPU @ 1.60GHz\r\n", 0), 0u);
  EXPECT_TRUE(dialog.Text()->isReadOnly());
  EXPECT_TRUE(dialog.Text()->toPlainText().startsWith("Processor: Intel(R)"));
  EXPECT_TRUE(dialog.Text()->toPlainText().contains("Smart card reader(s):\nGemalto PC Twin Reader 00 00\n"));

  dialog.CopyToClipboard();
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), report);
  const QString path = QString::fromStdString(sandbox.Root()) + "/SystemInformation.txt";
  ASSERT_TRUE(dialog.SaveTo(path));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll().toStdString(), report);
  EXPECT_TRUE(port.boxes.empty());
}

// Names from outside (here a reader's) reach the box, the clipboard and the file as plain
// text: bidirectional and control characters replaced, the lines kept.
TEST_F(SystemInformationDialogTest, OutsideNamesArePlainText) {
  probes.readers = [] { return std::string("Evil \xE2\x80\xAE" "redaeR\x1B[2J 00\r\n  VendorName: X\x07\r\n"); };
  SystemInformationDialog dialog(port, probes);
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.ReportReady(); }, 20000));
  const std::string& report = dialog.Report();
  EXPECT_NE(report.find("Evil \xEF\xBF\xBDredaeR\xEF\xBF\xBD[2J 00\r\n  VendorName: X\xEF\xBF\xBD\r\n"), std::string::npos)
      << report;
  EXPECT_EQ(report.find("\xE2\x80\xAE"), std::string::npos);
  EXPECT_FALSE(dialog.Text()->toPlainText().contains(QChar(0x202E)));
  EXPECT_TRUE(dialog.Text()->toPlainText().contains("Smart card reader(s):\nEvil "));
}

TEST_F(SystemInformationDialogTest, SaveIntoUnwritableFolderShowsError) {
  SystemInformationDialog dialog(port, probes);
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.ReportReady(); }, 20000));
  // Root writes through folder permissions; /proc takes no new files from anybody.
  std::string folder = sandbox.Root() + "/locked";
  QDir().mkpath(QString::fromStdString(folder));
  QFile::setPermissions(QString::fromStdString(folder), QFile::ReadOwner | QFile::ExeOwner);
  if (::geteuid() == 0) folder = "/proc";
  EXPECT_FALSE(dialog.SaveTo(QString::fromStdString(folder + "/SystemInformation.txt")));
  ASSERT_EQ(port.boxes.size(), 1u);
  EXPECT_EQ(port.boxes[0].text.rfind("A fájl mentése nem sikerült: " + folder + "/SystemInformation.txt", 0), 0u)
      << port.boxes[0].text;
  EXPECT_EQ(port.boxes[0].flags, Platform::kMbOk | Platform::kMbIconError);
}

TEST_F(SystemInformationDialogTest, Screenshot) {
  // The shipped card database, so that the card section has its cards.
  std::filesystem::copy_file(std::string(TVR_SOURCE_DIR) + "/res/smartcards.conf",
                             sandbox.Root() + "/system/Tavrenic/smartcards.conf");
  const Platform::CardDatabase cards = Platform::CardDatabase::Load();
  probes.cards = &cards;
  SystemInformationDialog dialog(port, probes);
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.ReportReady(); }, 20000));
  dialog.show();
  QApplication::processEvents();
  QDir().mkpath(TVR_SCREENSHOT_DIR);
  ASSERT_TRUE(dialog.grab().save(QString(TVR_SCREENSHOT_DIR) + "/report-dialog.png"));
}

}  // namespace
