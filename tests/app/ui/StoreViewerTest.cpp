// The personal store viewer over a store of three certificates: the listed key bindings,
// the CSV bytes, saving, and the screenshot.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QResizeEvent>
#include <QTimer>
#include <QTreeWidgetItemIterator>

#include <unistd.h>

#include <fstream>
#include <iterator>

#include "CertificateStoreList.h"
#include "CertificateStoreViewer.h"
#include "CertificateViewDialog.h"
#include "UiTestSupport.h"
#include "platform/CertStore.h"

namespace {

std::vector<uint8_t> ReadFixture(const std::string& name) {
  std::ifstream in(std::string(TVR_UI_FIXTURE_DIR) + "/store/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class StoreViewerTest : public ::testing::Test {
 protected:
  // a: quotes and ";" in the subject and in the binding; b: a provider type and key
  // type without names; c: no binding. Their thumbprints put them in this order.
  void FillStore() {
    auto store = Platform::CertStore::OpenSystem("MY");
    ASSERT_TRUE(store);
    const std::pair<const char*, std::optional<Platform::CertKeyProvInfo>> entries[] = {
        {"a.der", Platform::CertKeyProvInfo{"Kovács;1", "Tavrenic \"PKCS#11\" Provider", 1, 0, 2}},
        {"b.der", Platform::CertKeyProvInfo{"b-container", "Tavrenic Provider", 19, 0, 3}},
        {"c.der", std::nullopt},
    };
    for (const auto& [file, info] : entries) {
      const std::vector<uint8_t> der = ReadFixture(file);
      auto certificate = Platform::CertContext::Create(der.data(), der.size());
      ASSERT_TRUE(certificate) << file;
      certificate->SetKeyProvInfo(info);
      ASSERT_TRUE(store->Add(*certificate, Platform::CertAddDisposition::ReplaceExisting));
    }
  }
  UiTest::ProfileSandbox sandbox;
  UiTest::ScriptedUserPort port;
};

constexpr char kHeader[] =
    "\"Tulajdonos\";\"Kibocsátó\";\"Tároló neve\";\"Szolgáltató neve\";\"Szolgáltató típusa\";"
    "\"Kulcspár típusa\"\r\n";

TEST_F(StoreViewerTest, ListsBindingsAndExportsGoldenCsv) {
  FillStore();
  CertificateStoreViewer viewer(port);
  const std::string expected = std::string(kHeader) +
      "\"Kovács \"\"Kis\"\" Anna; aláíró\";\"Tavrenic Teszt CA\";\"Kovács;1\";"
      "\"Tavrenic \"\"PKCS#11\"\" Provider\";\"PROV_RSA_FULL\";\"AT_SIGNATURE\"\r\n"
      "\"Nagy Béla\";\"Tavrenic Teszt CA\";\"b-container\";\"Tavrenic Provider\";\"\";\"\"\r\n"
      "\"Tóth Csaba\";\"Tavrenic Teszt CA\";\"\";\"\";\"\";\"\"";
  EXPECT_EQ(viewer.CsvBytes().toStdString(), expected);
  ASSERT_EQ(viewer.List()->rowCount(), 3);
  EXPECT_EQ(viewer.List()->item(0, 0)->text(), QString::fromUtf8("Kovács \"Kis\" Anna; aláíró"));
  EXPECT_EQ(viewer.List()->item(1, 4)->text(), "");
  EXPECT_EQ(viewer.List()->item(2, 2)->text(), "");

  // The clipboard and the file carry the same bytes, again and again.
  viewer.CopyToClipboard();
  EXPECT_EQ(QGuiApplication::clipboard()->text().toUtf8().toStdString(), expected);
  const QString path = QString::fromStdString(sandbox.Root()) + "/CertificateStore.csv";
  ASSERT_TRUE(viewer.SaveTo(path));
  ASSERT_TRUE(viewer.SaveTo(path));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll().toStdString(), expected);
  EXPECT_TRUE(port.boxes.empty());
}

TEST_F(StoreViewerTest, RefreshSeesChangesAndEmptyStoreExportsHeaderOnly) {
  CertificateStoreViewer viewer(port);
  EXPECT_EQ(viewer.List()->rowCount(), 0);
  EXPECT_EQ(viewer.CsvBytes().toStdString(), kHeader);
  FillStore();
  EXPECT_EQ(viewer.List()->rowCount(), 0);
  viewer.RefreshButton()->click();
  EXPECT_EQ(viewer.List()->rowCount(), 3);
  // A double click beside the rows opens nothing; on a row, that row's certificate.
  viewer.ViewCertificate(-1);
  EXPECT_TRUE(port.boxes.empty());
  QString shown;
  QTimer::singleShot(0, [&] {
    if (auto* view = qobject_cast<CertificateViewDialog*>(QApplication::activeModalWidget())) {
      for (QTreeWidgetItemIterator it(view->Details()); *it; ++it) shown += (*it)->text(1) + "\n";
      view->close();
    }
  });
  emit viewer.List()->cellDoubleClicked(1, 0);
  EXPECT_TRUE(shown.contains(QString::fromUtf8("Nagy Béla"))) << shown.toStdString();
  EXPECT_TRUE(port.boxes.empty());
}

TEST_F(StoreViewerTest, BindingTextCannotReorderOrBreakARow) {
  auto store = Platform::CertStore::OpenSystem("MY");
  ASSERT_TRUE(store);
  const std::vector<uint8_t> der = ReadFixture("a.der");
  auto certificate = Platform::CertContext::Create(der.data(), der.size());
  ASSERT_TRUE(certificate);
  const std::string container = "abc\u202Efed\nx";
  certificate->SetKeyProvInfo(Platform::CertKeyProvInfo{container, "P", 1, 0, 2});
  ASSERT_TRUE(store->Add(*certificate, Platform::CertAddDisposition::ReplaceExisting));
  CertificateStoreViewer viewer(port);
  ASSERT_EQ(viewer.List()->rowCount(), 1);
  EXPECT_EQ(viewer.List()->item(0, 2)->text(), QString::fromUtf8("abc\uFFFDfed\uFFFDx"));
  // The export keeps the stored text.
  EXPECT_NE(viewer.CsvBytes().toStdString().find(container), std::string::npos);
}

TEST(StoreViewerCsvTest, CellsThatLookLikeFormulasStayText) {
  struct Case {
    std::string cell, exported;
  };
  const Case cases[] = {
      {"=HYPERLINK(\"http://x.test\";\"Kovács\")", "\"'=HYPERLINK(\"\"http://x.test\"\";\"\"Kovács\"\")\""},
      {"+36 1 234", "\"'+36 1 234\""},
      {"-2+3", "\"'-2+3\""},
      {"@SUM(A1)", "\"'@SUM(A1)\""},
      {"\tcmd", "\"'\tcmd\""},
      {"\rx", "\"'\rx\""},
      {"Kovács = Anna", "\"Kovács = Anna\""},
      {"", "\"\""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(BuildCsvText({"h"}, {{c.cell}}), "\"h\"\r\n" + c.exported) << c.cell;
}

TEST_F(StoreViewerTest, SaveIntoUnwritableFolderShowsError) {
  FillStore();
  CertificateStoreViewer viewer(port);
  // Root writes through folder permissions; /proc takes no new files from anybody.
  std::string folder = sandbox.Root() + "/locked";
  QDir().mkpath(QString::fromStdString(folder));
  QFile::setPermissions(QString::fromStdString(folder), QFile::ReadOwner | QFile::ExeOwner);
  if (::geteuid() == 0) folder = "/proc";
  EXPECT_FALSE(viewer.SaveTo(QString::fromStdString(folder + "/CertificateStore.csv")));
  ASSERT_EQ(port.boxes.size(), 1u);
  EXPECT_NE(port.boxes[0].text.find("CertificateStore.csv"), std::string::npos);
  EXPECT_EQ(port.boxes[0].flags, Platform::kMbOk | Platform::kMbIconError);
  EXPECT_FALSE(QFile::exists(QString::fromStdString(folder + "/CertificateStore.csv")));
}

TEST_F(StoreViewerTest, GrowsWithTheWindowAndNeverShrinksBelowOpeningSize) {
  FillStore();
  CertificateStoreViewer viewer(port);
  viewer.show();
  QApplication::processEvents();
  const QSize opening = viewer.size();
  const QRect list = viewer.List()->geometry();
  const QPoint refresh = viewer.RefreshButton()->pos();
  viewer.resize(opening + QSize(100, 60));
  QApplication::processEvents();
  EXPECT_EQ(viewer.List()->size(), list.size() + QSize(100, 60));
  EXPECT_EQ(viewer.RefreshButton()->pos(), refresh + QPoint(100, 60));
  EXPECT_EQ(viewer.minimumSize(), opening);
  QDir().mkpath(TVR_SCREENSHOT_DIR);
  viewer.resize(opening);
  QApplication::processEvents();
  ASSERT_TRUE(viewer.grab().save(QString(TVR_SCREENSHOT_DIR) + "/store-viewer.png"));
}

}  // namespace
