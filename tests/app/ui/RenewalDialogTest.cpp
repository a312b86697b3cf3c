// The renewal dialog and the task list on Qt's offscreen platform over a SoftHSM2 card;
// screenshots go to the build folder's screenshots/.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QTimer>

#include <thread>

#include "CertificateTexts.h"
#include "ContentsFixture.h"
#include "ContentsPage.h"
#include "RenewCertificatesDialog.h"
#include "SharedUtilities.h"
#include "TaskListDialog.h"

using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

constexpr std::time_t kDay = 86400;

void SaveShot(QWidget& widget, const char* name) {
  widget.show();
  QApplication::processEvents();
  QDir().mkpath(TVR_SCREENSHOT_DIR);
  const QPixmap shot = widget.grab();
  ASSERT_FALSE(shot.isNull());
  ASSERT_TRUE(shot.save(QString(TVR_SCREENSHOT_DIR) + "/" + name + ".png")) << name;
}

PkiItem Leaf(const std::string& cn, EVP_PKEY* key, std::time_t notBefore, std::time_t notAfter = 0) {
  CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  spec.notBefore = notBefore;
  spec.notAfter = notAfter;
  spec.extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"}};
  return CertBuilder::Issue(spec, &TestPki::Get().Intermediate(), key);
}

class RenewalDialogTest : public UiTest::ContentsFixture {
 protected:
  void SetUp() override {
    AddCertificate(signer_.Der(), "a1", "Aláíró kulcs", &signer_, "kulcs a1");
    AddCertificate(expired_.Der(), "b2", "Lejárt aláíró", &expired_, "kulcs b2");
    AddKeyPair(keyOnly_, "c3", "Új kulcs");
    Open();
    for (const PkiItem* item : {&renewed_, &keyOnly_}) candidates_[CertificateThumbprintHex(item->Cert())] = item->Cert();
    trust_ = UiTest::TestPkiTrust(*GetTokenObjects(false), candidates_);
    source_ = {token_.get(), GetTokenObjects(false), &trust_, [this] { return keeper_.CardLeft(); }};
  }
  // The row of the card object with this CKA_ID.
  int RowOf(const RenewCertificatesDialog& dialog, const std::string& id) {
    const TokenObjects& objects = *GetTokenObjects(false);
    for (int row = 0; row < dialog.List()->rowCount(); ++row) {
      const CK_OBJECT_HANDLE handle = dialog.List()->item(row, 0)->data(Qt::UserRole).toULongLong();
      const TokenObject* record = objects.FindCertificate(handle);
      if (!record) record = objects.FindPublicKey(handle);
      if (record && record->GetId() == id) return row;
    }
    return -1;
  }

  const std::time_t now_ = std::time(nullptr);
  PkiItem signer_ = Leaf("Kovács Éva", nullptr, now_ - 300 * kDay);
  PkiItem renewed_ = Leaf("Kovács Éva", signer_.Key(), now_ - kDay);
  PkiItem expired_ = Leaf("Öreg Győző", nullptr, now_ - 400 * kDay, now_ - kDay);
  PkiItem keyOnly_ = Leaf("Új Ágnes", nullptr, now_ - kDay);
  TvrServices::CandidateMap candidates_;
  TvrServices::RenewalTrust trust_;
  TvrServices::RenewalSource source_;
};

}  // namespace

TEST_F(RenewalDialogTest, ThreeRowsTheirLinksAndTheAdvancedView) {
  RenewCertificatesDialog dialog(source_, candidates_);
  std::vector<std::vector<uint8_t>> shown;
  dialog.SetCertificateViewer([&](const std::vector<uint8_t>& der) { shown.push_back(der); });
  QTableWidget* list = dialog.List();
  ASSERT_EQ(list->rowCount(), 3);
  EXPECT_EQ(list->columnCount(), 5);
  EXPECT_EQ(list->horizontalHeaderItem(1)->text(), QString::fromUtf8("Régi tanúsítvány"));
  const int signer = RowOf(dialog, "a1"), expired = RowOf(dialog, "b2"), key = RowOf(dialog, "c3");
  ASSERT_GE(signer, 0);
  ASSERT_GE(expired, 0);
  ASSERT_GE(key, 0);
  EXPECT_EQ(list->item(signer, 4)->text(), QString::fromUtf8("törlés és telepítés"));
  EXPECT_EQ(list->item(expired, 4)->text(), QString::fromUtf8("törlés"));
  EXPECT_EQ(list->item(expired, 2)->text(), QString::fromUtf8("újabb tanúsítvány nem található"));
  EXPECT_EQ(list->item(key, 4)->text(), QString::fromUtf8("telepítés"));
  EXPECT_EQ(list->item(key, 1)->text(), QString::fromUtf8("még nem volt tanúsítvány telepítve"));
  for (int row = 0; row < 3; ++row) EXPECT_EQ(list->item(row, 0)->checkState(), Qt::Checked) << row;
  EXPECT_TRUE(list->item(signer, 2)->font().underline());
  EXPECT_FALSE(list->item(expired, 2)->font().underline());

  dialog.ClickCell(signer, 1);
  dialog.ClickCell(signer, 2);
  dialog.ClickCell(expired, 2);  // not a link
  dialog.ClickCell(signer, 4);
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0], signer_.Der());
  EXPECT_EQ(shown[1], renewed_.Der());

  for (int round = 0; round < 2; ++round) {
    dialog.AdvancedView()->setChecked(true);
    ASSERT_EQ(list->columnCount(), 8);
    EXPECT_EQ(list->item(key, 5)->text(), QString::fromUtf8("Új kulcs"));
    EXPECT_EQ(list->item(key, 6)->text(), "c3");
    EXPECT_EQ(list->item(key, 7)->text(), QString::fromUtf8("Módosít"));
    if (round == 0) SaveShot(dialog, "renewal-dialog-advanced");
    dialog.AdvancedView()->setChecked(false);
  }
  EXPECT_EQ(list->columnCount(), 5);
  SaveShot(dialog, "renewal-dialog");
  // Never smaller than first shown.
  EXPECT_EQ(dialog.minimumSize(), dialog.size());
}

TEST_F(RenewalDialogTest, OkCarriesOutTheTickedRowsUnderTheTaskList) {
  RenewCertificatesDialog dialog(source_, candidates_);
  const int expired = RowOf(dialog, "b2");
  dialog.List()->item(expired, 0)->setCheckState(Qt::Unchecked);

  std::vector<std::string> seen;
  bool refusedWhileRunning = false;
  bool triedEarly = false;
  dialog.SetTaskListHook([&](QDialog& shown) {
    auto& tasks = static_cast<TaskListDialog&>(shown);
    for (int row = 0; row < tasks.List()->count(); ++row) seen.push_back(tasks.List()->item(row)->text().toStdString());
    auto* poll = new QTimer(&tasks);
    QObject::connect(poll, &QTimer::timeout, &tasks, [&tasks, &refusedWhileRunning, &triedEarly] {
      if (!tasks.State().Finished()) {
        if (!triedEarly && tasks.isVisible()) {
          triedEarly = true;
          tasks.reject();  // Escape while the worker runs
          refusedWhileRunning = tasks.isVisible();
        }
        return;
      }
      EXPECT_TRUE(tasks.OkButton()->isEnabled());
      tasks.OkButton()->click();
    });
    poll->start(1);
  });
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_TRUE(dialog.Changed());
  EXPECT_TRUE(triedEarly);
  EXPECT_TRUE(refusedWhileRunning);
  ASSERT_EQ(seen.size(), 3u);  // replace (two steps) and install; the unticked deletion is not there

  std::map<std::string, std::vector<uint8_t>> card;
  const std::unique_ptr<TokenObjects> objects = ReadCard();
  for (const auto& [handle, record] : objects->certificates) card[record->GetId()] = record->value;
  EXPECT_EQ(card["a1"], renewed_.Der());
  EXPECT_EQ(card["b2"], expired_.Der());
  EXPECT_EQ(card["c3"], keyOnly_.Der());
}

TEST_F(RenewalDialogTest, NothingTickedEndsWithOkAndNoTaskList) {
  RenewCertificatesDialog dialog(source_, candidates_);
  for (int row = 0; row < dialog.List()->rowCount(); ++row) dialog.List()->item(row, 0)->setCheckState(Qt::Unchecked);
  bool taskList = false;
  dialog.SetTaskListHook([&](QDialog&) { taskList = true; });
  dialog.Buttons()->button(QDialogButtonBox::Ok)->click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_FALSE(dialog.Changed());
  EXPECT_FALSE(taskList);
  EXPECT_EQ(shim_->CountCalls("C_DestroyObject"), 0u);
}

TEST_F(RenewalDialogTest, ChoosingAnotherCandidateInTheAdvancedView) {
  PkiItem other = Leaf("Kovács Éva", signer_.Key(), now_ - 2 * kDay);
  candidates_[CertificateThumbprintHex(other.Cert())] = other.Cert();
  trust_ = UiTest::TestPkiTrust(*GetTokenObjects(false), candidates_);
  RenewCertificatesDialog dialog(source_, candidates_);
  std::vector<std::string> offered;
  dialog.SetChooser([&](const std::vector<std::string>& choices) {
    offered = choices;
    return CertificateThumbprintHex(other.Cert());
  });
  const int signer = RowOf(dialog, "a1");
  dialog.ClickCell(signer, 7);  // no advanced view: no link
  EXPECT_TRUE(offered.empty());
  dialog.AdvancedView()->setChecked(true);
  dialog.ClickCell(signer, 7);
  EXPECT_EQ(offered.size(), 2u);
  EXPECT_EQ(dialog.Table().NewCertificate(signer), other.Cert());
  EXPECT_EQ(dialog.List()->item(signer, 3)->text().toStdString(), GetValidityText(other.Cert()));

  // The picker itself lists the choices and answers the chosen thumbprint.
  CertificatePickerDialog picker(offered, candidates_);
  ASSERT_EQ(picker.List()->count(), 2);
  picker.List()->setCurrentRow(1);
  QTimer::singleShot(0, &picker, &QDialog::accept);
  picker.exec();
  EXPECT_EQ(picker.Chosen(), offered[1]);
}

TEST_F(RenewalDialogTest, TheContentsPageRunsTheRenewalCommand) {
  ContentsPage page(*this, port_);
  ASSERT_TRUE(token_->Logout());
  page.Commands().Run(kCmdRenewCertificates, std::nullopt);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Kérem, jelentkezzen be!"});
}

// Unticking the partner's install in the list unticks and disables the old pair's
// deletion at once; ticking it again brings the deletion back.
TEST(RenewalDialogPartnerTest, TheOldPairsDeletionFollowsItsPartnersTick) {
  const UiTest::RenewedPairCard card;
  const TvrServices::RenewalSource source{nullptr, const_cast<TokenObjects*>(&card.objects), &card.trust,
                                          [] { return false; }};
  RenewCertificatesDialog dialog(source, card.candidates);
  QTableWidget* list = dialog.List();
  ASSERT_EQ(list->rowCount(), 2);
  auto tick = [&](int row) {
    const QTableWidgetItem* item = list->item(row, 0);
    return std::make_pair(item->checkState() == Qt::Checked, item->flags().testFlag(Qt::ItemIsEnabled));
  };
  EXPECT_EQ(tick(0), std::make_pair(true, true));
  list->item(1, 0)->setCheckState(Qt::Unchecked);
  EXPECT_EQ(tick(0), std::make_pair(false, false));
  EXPECT_FALSE(dialog.Table().Rows()[0].ticked);
  list->item(1, 0)->setCheckState(Qt::Checked);
  EXPECT_EQ(tick(0), std::make_pair(true, true));
  EXPECT_EQ(dialog.Table().Operations().size(), 2u);
}

TEST(TaskListDialogTest, InProgressAndClosableOnlyWhenFinished) {
  TaskListDialog dialog(QString::fromUtf8("Tanúsítványok megújítása"),
                        {"Új tanúsítvány telepítése: Új kulcs", "Új tanúsítvány telepítése: Aláíró kulcs",
                         "Régi tanúsítvány törlése: Lejárt aláíró", "Régi tanúsítvány törlése: Aláíró kulcs"});
  dialog.show();
  EXPECT_FALSE(dialog.SpinnerTimer()->isActive());
  dialog.OnTaskStarted(0, -1);
  EXPECT_TRUE(dialog.SpinnerTimer()->isActive());
  EXPECT_EQ(dialog.SpinnerTimer()->interval(), 200);
  dialog.OnTaskStarted(1, 0);
  dialog.OnTaskFinished(0, 0);
  dialog.OnTaskStarted(1, 1);
  dialog.OnTaskFinished(1, 1);
  dialog.OnTaskStarted(1, 2);
  dialog.OnTimer();
  dialog.OnTimer();
  EXPECT_EQ(dialog.Spinner()->text(), "/");
  EXPECT_EQ(dialog.CurrentStep()->text(), QString::fromUtf8("Régi tanúsítvány törlése: Lejárt aláíró"));
  EXPECT_EQ(dialog.CurrentStep()->textFormat(), Qt::PlainText);  // the steps name card labels
  EXPECT_FALSE(dialog.OkButton()->isEnabled());
  SaveShot(dialog, "task-list-dialog");
  dialog.reject();
  EXPECT_TRUE(dialog.isVisible());

  // Reports from another thread arrive in order on the dialog's.
  std::thread worker([&dialog] {
    dialog.TaskFinished(0, 2);
    dialog.TaskFinished(2, -1);
  });
  worker.join();
  EXPECT_FALSE(dialog.OkButton()->isEnabled());
  QApplication::processEvents();
  EXPECT_TRUE(dialog.OkButton()->isEnabled());
  EXPECT_EQ(dialog.Spinner()->text(), "");
  EXPECT_FALSE(dialog.SpinnerTimer()->isActive());
  EXPECT_EQ(dialog.State().Images()[3], TaskImage::Pending);
  dialog.reject();
  EXPECT_FALSE(dialog.isVisible());
}
