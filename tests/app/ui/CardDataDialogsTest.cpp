// The encrypted data editor, the choice of encryption certificate, the labels of the PFX
// import and the PFX password prompt, alone and behind the contents page's menus, over a
// SoftHSM2 token; screenshots go to the build folder's screenshots/.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QLibraryInfo>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>

#include <deque>
#include <functional>

#include "CardDataCommands.h"
#include "CardDataDialogs.h"
#include "CardKeys.h"
#include "CardTokenWriter.h"
#include "ContentsFixture.h"
#include "ContentsPage.h"
#include "CryptoAlgJanitor.h"
#include "PinDialogs.h"

namespace {

using Platform::kIdYes;

void Shot(QWidget& widget, const char* name) {
  QDir().mkpath(TVR_SCREENSHOT_DIR);
  widget.show();
  QApplication::processEvents();
  const QPixmap shot = widget.grab();
  ASSERT_FALSE(shot.isNull());
  ASSERT_TRUE(shot.save(QString(TVR_SCREENSHOT_DIR) + "/" + name + ".png")) << name;
}

// Answers the modal dialogs in the order they open.
class ModalScript {
 public:
  explicit ModalScript(std::deque<std::function<void(QWidget*)>> steps) : steps_(std::move(steps)) {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || modal->property("scripted").toBool() || steps_.empty()) return;
      modal->setProperty("scripted", true);
      auto step = std::move(steps_.front());
      steps_.pop_front();
      step(modal);
    });
    timer_.start();
  }
  bool Done() const { return steps_.empty(); }

 private:
  std::deque<std::function<void(QWidget*)>> steps_;
  QTimer timer_;
};

class CardDataDialogsTest : public UiTest::ContentsFixture {
 protected:
  CardDataDialogsTest() {
    static QTranslator qtHungarian;
    static const bool loaded =
        qtHungarian.load(QStringLiteral("qtbase_hu"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
        QCoreApplication::installTranslator(&qtHungarian);
    (void)loaded;
    RegisterCardKeyExIndex();
  }
  TvrCrypto::CryptoAlgJanitor openssl_;
};

TEST_F(CardDataDialogsTest, EditorRefusesEmptyFields) {
  EncryptedDataDialog create(port_, false, "", "");
  create.show();
  create.accept();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"A címke megadása kötelező!"});
  EXPECT_TRUE(create.isVisible());
  create.LabelEdit()->setText(QString::fromUtf8("Őszi jegyzet"));
  create.accept();
  EXPECT_EQ(BoxTexts().back(), "Az adat megadása kötelező!");
  EXPECT_EQ(port_.boxes.back().flags, Platform::kMbIconError);
  create.TextEdit()->setPlainText("x");
  create.accept();
  EXPECT_EQ(create.result(), QDialog::Accepted);
  EXPECT_EQ(create.GetLabel().toStdString(), "Őszi jegyzet");

  // An existing object's label is shown only: an emptied read-only field is not read.
  port_.boxes.clear();
  EncryptedDataDialog edit(port_, true, "Régi", "első\r\nmásodik");
  EXPECT_TRUE(edit.LabelEdit()->isReadOnly());
  edit.LabelEdit()->setText("");
  edit.accept();
  EXPECT_TRUE(port_.boxes.empty());
  EXPECT_EQ(edit.GetLabel().toStdString(), "Régi");
  EXPECT_EQ(edit.GetText().toStdString(), "első\nmásodik");  // the editor gives LF
}

TEST_F(CardDataDialogsTest, LabelsFollowThePrefixAndExistingOnesAreRefused) {
  TokenObjects objects;
  objects.AddPublicKey(5, "aa", "Kovács Éva PUBLIC KEY", false);
  KeyAndCertLabelsDialog dialog(port_, QString::fromUtf8("Kovács Éva"), objects);
  EXPECT_EQ(dialog.PrivateKeyEdit()->text().toStdString(), "Kovács Éva PRIVATE KEY");
  EXPECT_TRUE(dialog.CertificateEdit()->isReadOnly());
  Shot(dialog, "pfx-labels-dialog");
  dialog.accept();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"A publikus kulcs már létezik."});
  EXPECT_TRUE(dialog.isVisible());
  dialog.PrefixEdit()->setText("");
  EXPECT_EQ(dialog.PublicKeyEdit()->text().toStdString(), " PUBLIC KEY");
  EXPECT_EQ(dialog.CertificateEdit()->text().toStdString(), " CERTIFICATE");
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.Labels().privateKey, " PRIVATE KEY");

  PasswordDialog password(port_, QString::fromUtf8("/home/kovacs/Kovács Éva tanúsítványa.pfx"));
  Shot(password, "pfx-password-prompt");
}

TEST_F(CardDataDialogsTest, FilterListBecomesNameFilters) {
  EXPECT_EQ(NameFiltersFromList(QString::fromUtf8(Res::Text(Res::StringId::PfxFileFilter).c_str())),
            (QStringList{QString::fromUtf8("PFX, P12 fájlok (*.pfx; *p12) (*.pfx *.p12)"),
                         QString::fromUtf8("PFX fájlok (*.pfx) (*.pfx)"), QString::fromUtf8("P12 fájlok (*.p12) (*.p12)"),
                         QString::fromUtf8("Minden fájl (*.*) (*.*)")}));
}

// The commands behind the page's menus: create through the certificate choice and the
// editor, then a double click opens the object through the card and OK changes nothing.
TEST_F(CardDataDialogsTest, CreateAndOpenThroughThePage) {
  const TvrTest::PkiItem encryption = UiTest::EncryptionLeaf("Titkos Tímea");
  AddCertificate(encryption.Der(), "e1", "Titkosító", &encryption);
  Open();
  ContentsPage page(*this, port_);
  new CardDataCommands(page, *this, port_);
  page.resize(560, 420);
  page.show();
  QApplication::processEvents();

  {
    ModalScript script({[](QWidget* modal) {
                          auto* picker = qobject_cast<EncryptionCertificateDialog*>(modal);
                          ASSERT_TRUE(picker);
                          EXPECT_EQ(picker->List()->topLevelItemCount(), 1);
                          Shot(*picker, "encryption-certificate-picker");
                          picker->accept();
                        },
                        [](QWidget* modal) {
                          auto* editor = qobject_cast<EncryptedDataDialog*>(modal);
                          ASSERT_TRUE(editor);
                          editor->LabelEdit()->setText(QString::fromUtf8("Belépési adatok – ÁÉŐŰ"));
                          editor->TextEdit()->setPlainText(
                              QString::fromUtf8("felhasználó: kovács.éva\njelszó: Árvíztűrő-tükörfúrógép\n"));
                          editor->accept();
                        }});
    page.Commands().Run(kCmdCreateEncryptedData, std::nullopt);
    EXPECT_TRUE(script.Done());
  }
  EXPECT_TRUE(port_.boxes.empty()) << port_.boxes[0].text;
  ASSERT_EQ(GetTokenObjects(false)->dataObjects.size(), 1u);
  const CK_OBJECT_HANDLE handle = GetTokenObjects(false)->dataObjects.begin()->first;

  QTreeWidgetItem* item = nullptr;
  QTreeWidgetItem* root = page.Tree()->topLevelItem(0);
  for (int i = 0; root && i < root->childCount(); ++i)
    if (ContentsPage::HandleOf(root->child(i)) == handle) item = root->child(i);
  ASSERT_TRUE(item);
  EXPECT_EQ(ContentsPage::ImageOf(item), TreeImage::EncryptedData);
  shim_->ClearLog();
  {
    ModalScript script({[](QWidget* modal) {
      auto* editor = qobject_cast<EncryptedDataDialog*>(modal);
      ASSERT_TRUE(editor);
      EXPECT_TRUE(editor->LabelEdit()->isReadOnly());
      EXPECT_EQ(editor->LabelEdit()->text().toStdString(), "Belépési adatok – ÁÉŐŰ");
      EXPECT_EQ(editor->TextEdit()->toPlainText().toStdString(),
                "felhasználó: kovács.éva\njelszó: Árvíztűrő-tükörfúrógép\n");
      Shot(*editor, "encrypted-data-edit");
      editor->accept();
    }});
    page.DoubleClick(item);
    EXPECT_TRUE(script.Done());
  }
  EXPECT_TRUE(port_.boxes.empty());
  EXPECT_GE(shim_->CountCalls("C_Decrypt"), 1u);
  EXPECT_EQ(shim_->CountCalls("C_DestroyObject"), 0u);
  EXPECT_EQ(ReadCard()->dataObjects.begin()->first, handle);

  // Delete from the menu.
  port_.answers = {kIdYes};
  page.Commands().Run(kCmdDeleteEncryptedData, handle);
  EXPECT_TRUE(ReadCard()->dataObjects.empty());

  // The import is joined to its menu command: logged out it refuses first.
  ASSERT_TRUE(token_->Logout());
  port_.boxes.clear();
  page.Commands().Run(kCmdImportKeyAndCertificate, std::nullopt);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Kérem, jelentkezzen be!"});
}

}  // namespace
