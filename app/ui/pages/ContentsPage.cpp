#include "ContentsPage.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QPainter>
#include <QPainterPath>
#include <QUrl>
#include <QVBoxLayout>

#include "CertificateViewDialog.h"
#include "PaddedRowDelegate.h"
#include "RenewCertificatesDialog.h"
#include "UiText.h"

namespace {

constexpr int kHandleRole = Qt::UserRole;
constexpr int kImageRole = Qt::UserRole + 1;

QPixmap Canvas() {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

void DrawCertificate(QPainter& p) {
  p.setPen(QColor(90, 90, 90));
  p.setBrush(QColor(250, 250, 240));
  p.drawRect(QRectF(1.5, 2.5, 13, 10));
  p.setPen(QColor(120, 120, 160));
  p.drawLine(QPointF(3.5, 5.5), QPointF(10.5, 5.5));
  p.drawLine(QPointF(3.5, 7.5), QPointF(8.5, 7.5));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(200, 40, 40));
  p.drawEllipse(QPointF(11.5, 10.5), 2.5, 2.5);
  p.drawPolygon(QPolygonF({QPointF(10, 12), QPointF(9.5, 15.5), QPointF(11.5, 14), QPointF(13.5, 15.5), QPointF(13, 12)}));
}

void DrawKey(QPainter& p, const QColor& colour) {
  p.setPen(QPen(colour.darker(160), 1));
  p.setBrush(colour);
  p.drawEllipse(QPointF(5, 8), 3.5, 3.5);
  p.drawRect(QRectF(8, 7, 7, 2));
  p.drawRect(QRectF(12, 9, 1.5, 2.5));
  p.drawRect(QRectF(14, 9, 1, 2));
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(4.5, 8), 1, 1);
}

}  // namespace

QIcon ContentsPage::IconFor(TreeImage image) {
  QPixmap pixmap = Canvas();
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  switch (image) {
    case TreeImage::Card:
      p.setPen(QColor(40, 70, 140));
      p.setBrush(QColor(90, 140, 220));
      p.drawRoundedRect(QRectF(0.5, 3.5, 15, 10), 2, 2);
      p.setPen(QColor(150, 120, 30));
      p.setBrush(QColor(230, 190, 70));
      p.drawRect(QRectF(2.5, 6.5, 4, 4));
      break;
    case TreeImage::Certificate:
      DrawCertificate(p);
      break;
    case TreeImage::ExpiredCertificate:
      DrawCertificate(p);
      p.setPen(QPen(QColor(210, 0, 0), 2));
      p.drawLine(QPointF(2, 2), QPointF(9, 9));
      p.drawLine(QPointF(9, 2), QPointF(2, 9));
      break;
    case TreeImage::ExpiringCertificate:
      DrawCertificate(p);
      p.setPen(QColor(150, 110, 0));
      p.setBrush(QColor(255, 200, 0));
      p.drawPolygon(QPolygonF({QPointF(5, 0.5), QPointF(10, 9.5), QPointF(0, 9.5)}));
      p.setPen(QPen(Qt::black, 1.2));
      p.drawLine(QPointF(5, 3.5), QPointF(5, 6.5));
      p.drawPoint(QPointF(5, 8.2));
      break;
    case TreeImage::PublicKey:
      DrawKey(p, QColor(235, 195, 60));
      break;
    case TreeImage::PrivateKey:
      DrawKey(p, QColor(200, 80, 60));
      break;
    case TreeImage::EncryptedData:
      p.setPen(QPen(QColor(90, 90, 90), 1.5));
      p.setBrush(Qt::NoBrush);
      p.drawArc(QRectF(4, 1.5, 8, 9), 0, 180 * 16);
      p.drawLine(QPointF(4, 6), QPointF(4, 8));
      p.drawLine(QPointF(12, 6), QPointF(12, 8));
      p.setPen(QColor(120, 90, 10));
      p.setBrush(QColor(225, 180, 50));
      p.drawRect(QRectF(2.5, 7.5, 11, 7.5));
      break;
  }
  p.end();
  return QIcon(pixmap);
}

ContentsPage::ContentsPage(IContentsHost& host, IUserPort& port, QWidget* parent)
    : QWidget(parent),
      host_(host),
      commands_(host, *this, port),
      renewal_(host, *this, port, *this, [this] { commands_.ReregisterCertificates(); }),
      tree_(new QTreeWidget(this)) {
  commands_.SetHandler(kCmdRenewCertificates, [this](std::optional<CK_OBJECT_HANDLE>) { renewal_.Run(); });
  setWindowTitle(T(Res::StringId::ContentsPageTitle));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  layout->addWidget(tree_);
  tree_->setHeaderHidden(true);
  tree_->setColumnCount(1);
  tree_->setIconSize(QSize(16, 16));
  tree_->setItemDelegate(new PaddedRowDelegate(tree_));
  tree_->setExpandsOnDoubleClick(false);
  tree_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(tree_, &QWidget::customContextMenuRequested, this, [this](const QPoint& point) { RightClickAt(point); });
  connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) { DoubleClick(item); });
  folderOpener_ = [](const QString& path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };
}

void ContentsPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  OnSetActive();
}

void ContentsPage::OnSetActive() {
  SetBusy(true);
  BuildTree(false);
  SetBusy(false);
  tree_->setFocus();
}

TreeImage ContentsPage::ImageOf(const QTreeWidgetItem* item) {
  return static_cast<TreeImage>(item->data(0, kImageRole).toInt());
}

CK_OBJECT_HANDLE ContentsPage::HandleOf(const QTreeWidgetItem* item) {
  return static_cast<CK_OBJECT_HANDLE>(item->data(0, kHandleRole).toULongLong());
}

void ContentsPage::BuildTree(bool refresh) {
  // The window's card work has the card: the tree stays as it is until the window
  // refreshes the page.
  if (host_.CardUpdating()) return;
  if (refresh) {
    // The card is read on a card task; the tree follows when it is over.
    host_.RereadCard([this] { BuildTree(false); });
    return;
  }
  tree_->clear();
  // The information before the objects, as the card is read.
  const TokenInfo* info = host_.GetTokenInfo(false);
  if (!info) return;
  const TokenObjects* objects = host_.GetTokenObjects(false);
  if (!objects) return;
  const std::optional<TreeItem> root = BuildContentsTree(info, objects, ReadTreeOptions(), std::time(nullptr));
  if (!root) return;
  std::function<void(const TreeItem&, QTreeWidgetItem*)> add = [&](const TreeItem& model, QTreeWidgetItem* parent) {
    auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree_);
    item->setText(0, Q(model.text));
    item->setIcon(0, IconFor(model.image));
    item->setData(0, kHandleRole, QVariant::fromValue<qulonglong>(model.handle));
    item->setData(0, kImageRole, static_cast<int>(model.image));
    const std::string tip = ContentsTooltip(objects, model.image, model.handle);
    if (!tip.empty()) item->setToolTip(0, PlainToolTip(Q(tip).replace(QStringLiteral("\r\n"), QStringLiteral("\n"))));
    for (const TreeItem& child : model.children) add(child, item);
    item->setExpanded(model.expanded);
  };
  add(*root, nullptr);
}

std::unique_ptr<QMenu> ContentsPage::MenuFor(QTreeWidgetItem* item) {
  if (!item) return nullptr;
  const TokenInfo* info = host_.GetTokenInfo(false);
  const TokenObjects* objects = host_.GetTokenObjects(false);
  if (!info || !objects) return nullptr;
  std::optional<TreeImage> parentImage;
  if (item->parent()) parentImage = ImageOf(item->parent());
  const std::optional<ItemMenu> spec = ContextMenuFor(ImageOf(item), HandleOf(item), *info, *objects, parentImage);
  if (!spec) return nullptr;
  auto menu = std::make_unique<QMenu>(this);
  for (const MenuEntry& entry : spec->entries) {
    QAction* action = menu->addAction(Q(entry.text));
    action->setEnabled(entry.enabled);
    const int command = entry.command;
    connect(action, &QAction::triggered, this, [this, command] { commands_.Run(command, Caret()); });
  }
  return menu;
}

std::unique_ptr<QMenu> ContentsPage::RightClickAt(const QPoint& point, bool modal) {
  if (!host_.GetTokenInfo(false) || !host_.GetTokenObjects(false)) return nullptr;
  QTreeWidgetItem* item = tree_->itemAt(point);
  if (!item) return nullptr;
  tree_->setCurrentItem(item);
  std::unique_ptr<QMenu> menu = MenuFor(item);
  if (!menu) return nullptr;
  const QPoint at = tree_->viewport()->mapToGlobal(point);
  if (!modal) {
    menu->popup(at);
    return menu;
  }
  menu->exec(at);
  return nullptr;
}

void ContentsPage::DoubleClick(QTreeWidgetItem* item) {
  if (!item) return;
  switch (DoubleClickActionFor(ImageOf(item))) {
    case DoubleClickAction::ViewCertificate:
      commands_.ViewCertificate(HandleOf(item));
      break;
    case DoubleClickAction::EditEncryptedData:
      // The command may rebuild the tree, and the item has no children to expand.
      commands_.Run(kCmdViewEditEncryptedData, HandleOf(item));
      return;
    case DoubleClickAction::None:
      break;
  }
  if (item->childCount() > 0) item->setExpanded(true);
}

std::optional<CK_OBJECT_HANDLE> ContentsPage::Caret() const {
  const QTreeWidgetItem* item = tree_->currentItem();
  if (!item) return std::nullopt;
  return HandleOf(item);
}

void ContentsPage::RefreshTree(bool refresh) {
  SetBusy(true);
  BuildTree(refresh);
  SetBusy(false);
}

void ContentsPage::SetBusy(bool busy) {
  if (busy) QApplication::setOverrideCursor(Qt::WaitCursor);
  else QApplication::restoreOverrideCursor();
}

void ContentsPage::SetCommandsEnabled(bool enabled) { tree_->setEnabled(enabled); }

std::optional<std::string> ContentsPage::ChooseCertificateFile() {
  const QString path = QFileDialog::getOpenFileName(nullptr);
  if (path.isEmpty()) return std::nullopt;
  return path.toStdString();
}

std::optional<std::string> ContentsPage::ChooseFolder() {
  const QString path = QFileDialog::getExistingDirectory(window());
  if (path.isEmpty()) return std::nullopt;
  return path.toStdString();
}

void ContentsPage::OpenFolder(const std::string& path) {
  if (folderOpener_) folderOpener_(Q(path));
}

bool ContentsPage::ShowCertificate(const std::vector<uint8_t>& der) {
  std::vector<std::vector<uint8_t>> candidates;
  if (const TokenObjects* objects = host_.GetTokenObjects(false))
    for (const auto& [handle, record] : objects->certificates) candidates.push_back(record->value);
  CertificateViewDialog dialog(der, candidates, window());
  if (!dialog.IsValid()) return false;
  dialog.exec();
  return true;
}

std::optional<std::string> ContentsPage::ChooseZipFile() {
  const QString path = QFileDialog::getOpenFileName(window());
  if (path.isEmpty()) return std::nullopt;
  return path.toStdString();
}

bool ContentsPage::RunRenewalDialog(const TvrServices::RenewalSource& source,
                                    const TvrServices::CandidateMap& candidates) {
  RenewCertificatesDialog dialog(source, candidates, window());
  return dialog.exec() == QDialog::Accepted && dialog.Changed();
}
