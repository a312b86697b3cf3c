// The contents page, the certificate dialog and the advanced settings page on Qt's
// offscreen platform, over a SoftHSM2 token with test-PKI certificates; screenshots go
// to the build folder's screenshots/.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QPainter>
#include <QMessageBox>
#include <QTextDocument>
#include <QTimer>
#include <QTranslator>

#include <fstream>

#include "AdvancedSettingsPage.h"
#include "CertificateViewDialog.h"
#include "ContentsFixture.h"
#include "ContentsPage.h"
#include "QtUserPort.h"
#include "platform/Profile.h"

using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

void SaveShot(const QPixmap& shot, const char* name) {
  QDir().mkpath(TVR_SCREENSHOT_DIR);
  ASSERT_FALSE(shot.isNull());
  ASSERT_TRUE(shot.save(QString(TVR_SCREENSHOT_DIR) + "/" + name + ".png")) << name;
}

PkiItem Leaf(const std::string& cn, const std::string& keyUsage, std::time_t notAfter) {
  CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  spec.notBefore = notAfter - 300 * 86400;
  spec.notAfter = notAfter;
  spec.extensions = {{"keyUsage", "critical," + keyUsage}};
  return CertBuilder::Issue(spec, &TestPki::Get().Intermediate());
}

// What a tooltip shows: Qt renders a tooltip that looks like markup as rich text.
std::string ShownToolTip(const QString& tip) {
  if (!Qt::mightBeRichText(tip)) return tip.toStdString();
  QTextDocument document;
  document.setHtml(tip);
  return document.toPlainText().toStdString();
}

class ContentsPageTest : public UiTest::ContentsFixture {
 protected:
  ContentsPageTest() {
    static QTranslator qtHungarian;
    static const bool loaded =
        qtHungarian.load(QStringLiteral("qtbase_hu"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
        QCoreApplication::installTranslator(&qtHungarian);
    (void)loaded;
  }

  // Four certificates: a qualified signing one and an encryption one with their keys,
  // one that expires in 10 days and one that has expired.
  void FillCard() {
    const TestPki& pki = TestPki::Get();
    const std::time_t now = std::time(nullptr);
    AddCertificate(pki.QualifiedLeaf().Der(), "01", "Minősített aláírás", &pki.QualifiedLeaf(), "aláíró kulcs");
    AddCertificate(pki.EncryptionLeaf().Der(), "02", "Titkosítás", &pki.EncryptionLeaf(), "titkosító kulcs");
    AddCertificate(Leaf("Őrző Ágnes", "digitalSignature", now + 10 * 86400).Der(), "03", "Hitelesítés");
    AddCertificate(Leaf("Ürmös Éva", "digitalSignature", now - 2 * 86400).Der(), "04", "Régi");
  }

  QTreeWidgetItem* ItemWithId(ContentsPage& page, const std::string& id) {
    QTreeWidgetItem* root = page.Tree()->topLevelItem(0);
    for (int i = 0; root && i < root->childCount(); ++i) {
      QTreeWidgetItem* item = root->child(i);
      const CertificateObject* record = GetTokenObjects(false)->FindCertificate(ContentsPage::HandleOf(item));
      if (record && record->GetId() == id) return item;
    }
    return nullptr;
  }
};

TEST_F(ContentsPageTest, FourCertificatesWithAnOpenContextMenu) {
  Platform::Profile().WriteDword("", "ShowKeys", 1);
  FillCard();
  Open();
  ContentsPage page(*this, port_);
  page.resize(560, 420);
  page.show();
  QApplication::processEvents();

  QTreeWidget* tree = page.Tree();
  ASSERT_EQ(tree->topLevelItemCount(), 1);
  QTreeWidgetItem* root = tree->topLevelItem(0);
  EXPECT_EQ(root->text(0).toStdString(), "Kártya - Sorozatszám: " + GetTokenInfo(false)->serialNumber);
  EXPECT_TRUE(root->isExpanded());
  ASSERT_EQ(root->childCount(), 4);
  QTreeWidgetItem* signing = ItemWithId(page, "01");
  QTreeWidgetItem* expiring = ItemWithId(page, "03");
  QTreeWidgetItem* expired = ItemWithId(page, "04");
  ASSERT_TRUE(signing && expiring && expired);
  EXPECT_EQ(signing->text(0).toStdString(), "Minősített aláíró tanúsítvány - Tulajdonos: Tavrenic Qualified");
  EXPECT_EQ(signing->childCount(), 2);  // its public and private key
  EXPECT_TRUE(signing->isExpanded());
  EXPECT_EQ(ContentsPage::ImageOf(expiring), TreeImage::ExpiringCertificate);
  EXPECT_EQ(ShownToolTip(expiring->toolTip(0)), "Címke: Hitelesítés\nA tanúsítvány le fog járni!");
  EXPECT_EQ(ContentsPage::ImageOf(expired), TreeImage::ExpiredCertificate);
  // Rows leave room above capital accents.
  EXPECT_GE(tree->visualItemRect(signing).height(), tree->fontMetrics().height() + 4);

  // Right-clicking a private key opens nothing; empty space neither, and keeps the selection.
  tree->setCurrentItem(expired);
  EXPECT_FALSE(page.RightClickAt(QPoint(tree->viewport()->width() - 5, tree->viewport()->height() - 5), false));
  EXPECT_EQ(tree->currentItem(), expired);
  EXPECT_FALSE(page.RightClickAt(tree->visualItemRect(signing->child(1)).center(), false));

  // The certificate menu: the card is not the card issuer's own, so everything is enabled.
  std::unique_ptr<QMenu> menu = page.RightClickAt(tree->visualItemRect(signing).center(), false);
  ASSERT_TRUE(menu);
  EXPECT_EQ(tree->currentItem(), signing);
  QStringList texts;
  for (QAction* action : menu->actions()) texts << action->text() + (action->isEnabled() ? "" : " (grey)");
  EXPECT_EQ(texts.join('|').toStdString(), "Megtekintés|Megújítás|Regisztrálás|Törlés");
  std::unique_ptr<QMenu> keyMenu = page.MenuFor(signing->child(0));
  ASSERT_TRUE(keyMenu);
  EXPECT_FALSE(keyMenu->actions().at(0)->isEnabled());  // a key under a certificate

  QApplication::processEvents();
  QPixmap shot = page.grab();
  {
    QPainter painter(&shot);
    painter.drawPixmap(page.mapFromGlobal(menu->pos()), menu->grab());
  }
  SaveShot(shot, "contents-page");
  menu->close();
}

TEST_F(ContentsPageTest, CardTextIsShownAsPlainText) {
  // A common name that would show its end reversed, and a label of markup, a name in
  // angle brackets, a reversal and a line break.
  CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=Kovács \u202Efdp.exe";
  spec.extensions = {{"keyUsage", "critical,digitalSignature"}, {"subjectAltName", "email:<img src=x>@a.test"}};
  const PkiItem certificate = CertBuilder::Issue(spec, &TestPki::Get().Intermediate());
  AddCertificate(certificate.Der(), "01", "<b>x</b> <img src=\"file:///tmp/x.png\"> <Kovács>\u202E\nvége");
  Open();
  ContentsPage page(*this, port_);
  page.show();
  QApplication::processEvents();
  QTreeWidgetItem* item = ItemWithId(page, "01");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->text(0).toStdString(), "Hitelesítő tanúsítvány - Tulajdonos: Kovács \uFFFDfdp.exe");
  EXPECT_EQ(ShownToolTip(item->toolTip(0)), "Címke: <b>x</b> <img src=\"file:///tmp/x.png\"> <Kovács>\uFFFD\uFFFDvége");

  // The certificate's own dialog: every value as it is, without the reversal.
  CertificateViewDialog dialog(certificate.Der(), {});
  const QList<QTreeWidgetItem*> emails = dialog.Details()->findItems("Email", Qt::MatchRecursive);
  ASSERT_EQ(emails.size(), 1);
  EXPECT_EQ(emails[0]->text(1).toStdString(), "<img src=x>@a.test");
  EXPECT_EQ(ShownToolTip(emails[0]->toolTip(1)), "<img src=x>@a.test");
  const QList<QTreeWidgetItem*> subjects = dialog.Details()->findItems("SubjectDN", Qt::MatchRecursive);
  ASSERT_EQ(subjects.size(), 1);
  EXPECT_FALSE(subjects[0]->text(1).contains(QChar(0x202E)));
  EXPECT_TRUE(subjects[0]->text(1).contains(QChar(0xFFFD)));

  // The program's message boxes never take their text for markup.
  QtUserPort boxes;
  Qt::TextFormat format = Qt::AutoText;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_TRUE(box);
    format = box->textFormat();
    box->accept();
  });
  boxes.MessageBox("Nem sikerült a tanúsítvány fájlba másolása: <b>x</b> <Kovács>", "", Platform::kMbOk);
  EXPECT_EQ(format, Qt::PlainText);
}

TEST_F(ContentsPageTest, DoubleClickShowsTheCertificate) {
  FillCard();
  Open();
  ContentsPage page(*this, port_);
  page.show();
  QApplication::processEvents();
  QTreeWidgetItem* signing = ItemWithId(page, "01");
  ASSERT_TRUE(signing);
  bool seen = false;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<CertificateViewDialog*>(QApplication::activeModalWidget());
    ASSERT_TRUE(dialog);
    seen = true;
    EXPECT_EQ(dialog->windowTitle().toStdString(), "Tanúsítvány");
    // The chain from the card's certificates stops at the leaf: the card holds no CA.
    EXPECT_EQ(dialog->Chain()->topLevelItemCount(), 1);
    EXPECT_GT(dialog->Details()->topLevelItemCount(), 0);
    dialog->reject();
  });
  page.DoubleClick(signing);
  EXPECT_TRUE(seen);
  EXPECT_TRUE(port_.boxes.empty());
}

TEST_F(ContentsPageTest, CertificateDialogWithItsChain) {
  const TestPki& pki = TestPki::Get();
  CertificateViewDialog dialog(pki.QualifiedLeaf().Der(), {pki.Root().Der(), pki.Intermediate().Der()});
  ASSERT_TRUE(dialog.IsValid());
  ASSERT_EQ(dialog.Chain()->topLevelItemCount(), 1);
  QTreeWidgetItem* top = dialog.Chain()->topLevelItem(0);
  EXPECT_EQ(top->text(0).toStdString(), "Tavrenic Test Root CA (gyökér hitelesítésszolgáltatói tanúsítvány)");
  ASSERT_EQ(top->childCount(), 1);
  ASSERT_EQ(top->child(0)->childCount(), 1);
  EXPECT_EQ(top->child(0)->child(0)->text(0).toStdString(), "Tavrenic Qualified (minősített aláíró tanúsítvány)");
  EXPECT_FALSE(dialog.Details()->findItems("SubjectDN", Qt::MatchRecursive).isEmpty());
  dialog.show();
  QApplication::processEvents();
  SaveShot(dialog.grab(), "certificate-dialog");
  EXPECT_FALSE(CertificateViewDialog({0x30, 0x00}, {}).IsValid());
}

TEST_F(ContentsPageTest, AdvancedSettingsPage) {
  std::ofstream(sandbox_.Root() + "/system/Tavrenic/smartcards.conf")
      << "[Incard  TS2048]\n[Classic TPC]\n[IDPrime MD T=0]\n[Oberthur Technologies IAS-ECC Device]\n";
  AdvancedSettingsPage page({"Bit4ID", "Gemalto", "Gemalto2", "Oberthur"});
  page.resize(420, 300);
  page.show();
  QApplication::processEvents();
  QTreeWidget* list = page.List();
  ASSERT_EQ(list->topLevelItemCount(), 4);
  EXPECT_FALSE(list->isEnabled());
  EXPECT_EQ(list->topLevelItem(0)->text(0).toStdString(), "Bit4ID Touch & Sign 2048 (oVB)");
  EXPECT_EQ(list->topLevelItem(3)->checkState(0), Qt::Unchecked);
  EXPECT_EQ(list->topLevelItem(1)->checkState(0), Qt::Checked);
  EXPECT_EQ(list->headerItem()->text(0).toStdString(), "Display name");
  SaveShot(page.grab(), "advanced-settings-page");
}

}  // namespace
