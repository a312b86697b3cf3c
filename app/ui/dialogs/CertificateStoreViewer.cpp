#include "CertificateStoreViewer.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QShowEvent>
#include <QVBoxLayout>

#include "CertificateTexts.h"
#include "CertificateViewDialog.h"
#include "TextExport.h"
#include "UiText.h"
#include "UserPort.h"

using Res::StringId;

namespace {
constexpr int kColumnWidths[CertificateStoreList::kColumnCount] = {200, 200, 400, 320, 120, 120};
}

CertificateStoreViewer::CertificateStoreViewer(IUserPort& port, QWidget* parent)
    : QDialog(parent), port_(port) {
  setWindowTitle(T(StringId::StoreViewerTitle));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setWindowFlag(Qt::WindowMaximizeButtonHint, true);
  setSizeGripEnabled(true);
  auto* layout = new QVBoxLayout(this);
  list_ = new QTableWidget(0, CertificateStoreList::kColumnCount, this);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->verticalHeader()->hide();
  list_->setShowGrid(false);
  list_->setWordWrap(false);
  list_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list_->horizontalHeader()->setHighlightSections(false);
  const std::vector<std::string> headings = CertificateStoreList::Headings();
  for (int column = 0; column < static_cast<int>(headings.size()); ++column) {
    list_->setHorizontalHeaderItem(column, new QTableWidgetItem(Q(headings[column])));
    list_->setColumnWidth(column, kColumnWidths[column]);
  }
  layout->addWidget(list_, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  copy_ = new QPushButton(T(StringId::CopyToClipboardButton), this);
  save_ = new QPushButton(T(StringId::SaveToTextFileButton), this);
  refresh_ = new QPushButton(T(StringId::StoreRefreshButton), this);
  for (QPushButton* button : {copy_, save_, refresh_}) {
    button->setAutoDefault(false);
    buttons->addWidget(button);
  }
  layout->addLayout(buttons);
  connect(list_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { ViewCertificate(row); });
  connect(refresh_, &QPushButton::clicked, this, &CertificateStoreViewer::Refresh);
  connect(copy_, &QPushButton::clicked, this, &CertificateStoreViewer::CopyToClipboard);
  connect(save_, &QPushButton::clicked, this, [this] {
    const QString path = AskSaveFileName(this, QStringLiteral("CertificateStore"), QStringLiteral("csv"),
                                         "Text files (*.csv)|*.csv|All files (*.*) |*.*||");
    if (!path.isEmpty()) SaveTo(path);
  });
  resize(820, 420);
  Refresh();
}

void CertificateStoreViewer::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Never smaller than it opened.
  if (!sized_) setMinimumSize(size());
  sized_ = true;
}

void CertificateStoreViewer::Refresh() {
  store_.Refresh();
  list_->setRowCount(0);
  const auto& rows = store_.Rows();
  list_->setRowCount(static_cast<int>(rows.size()));
  for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
    for (int column = 0; column < static_cast<int>(CertificateStoreList::kColumnCount); ++column) {
      // Names and bindings come from any card: shown as text that cannot reorder the row.
      list_->setItem(row, column, new QTableWidgetItem(Q(DisplayText(rows[row].cells[column]))));
    }
  }
}

QByteArray CertificateStoreViewer::CsvBytes() const { return QByteArray::fromStdString(store_.CsvText()); }

void CertificateStoreViewer::CopyToClipboard() { CopyTextToClipboard(QString::fromUtf8(CsvBytes())); }

bool CertificateStoreViewer::SaveTo(const QString& path) { return SaveTextFile(path, CsvBytes(), port_); }

void CertificateStoreViewer::ViewCertificate(int row) {
  if (row < 0 || row >= static_cast<int>(store_.Rows().size())) return;
  const auto& certificate = store_.Rows()[row].certificate;
  CertificateViewDialog view(certificate->Encoded(), {}, this);
  if (!view.IsValid()) {
    port_.MessageBox(Res::Text(StringId::CertificateViewImpossible), "",
                     Platform::kMbOk | Platform::kMbIconError);
    return;
  }
  view.exec();
}
