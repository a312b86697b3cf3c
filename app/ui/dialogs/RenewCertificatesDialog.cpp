#include "RenewCertificatesDialog.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

#include <openssl/x509.h>

#include "CertificateTexts.h"
#include "CertificateViewDialog.h"
#include "TaskListDialog.h"
#include "UiText.h"

using Res::StringId;

namespace {

constexpr QRgb kLinkColour = 0x0000FF;
// Without a trust nothing is proposed.
const TvrServices::RenewalTrust kNoTrust;

std::vector<uint8_t> Der(X509* certificate) {
  const int length = i2d_X509(certificate, nullptr);
  if (length <= 0) return {};
  std::vector<uint8_t> der(static_cast<size_t>(length));
  unsigned char* cursor = der.data();
  if (i2d_X509(certificate, &cursor) != length) return {};
  return der;
}

}  // namespace

CertificatePickerDialog::CertificatePickerDialog(const std::vector<std::string>& thumbprints,
                                                 const TvrServices::CandidateMap& candidates, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(T(StringId::RenewalChooseCertificate));
  list_ = new QListWidget(this);
  for (const std::string& thumbprint : thumbprints) {
    const auto found = candidates.find(thumbprint);
    if (found == candidates.end()) continue;
    auto* item = new QListWidgetItem(Q(GetCertificateDisplayName(found->second, false) + "\n" +
                                       GetValidityText(found->second) + "   " + thumbprint),
                                     list_);
    item->setData(Qt::UserRole, Q(thumbprint));
  }
  if (list_->count() > 0) list_->setCurrentRow(0);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Cancel)->setText(T(StringId::CancelButton));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(list_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_, 1);
  layout->addWidget(buttons);
  resize(520, 260);
}

std::string CertificatePickerDialog::Chosen() const {
  if (result() != Accepted || !list_->currentItem()) return {};
  return list_->currentItem()->data(Qt::UserRole).toString().toStdString();
}

RenewCertificatesDialog::RenewCertificatesDialog(const TvrServices::RenewalSource& source,
                                                 const TvrServices::CandidateMap& candidates, QWidget* parent)
    : QDialog(parent),
      source_(source),
      candidates_(candidates),
      table_(*source.objects, candidates, source.trust ? *source.trust : kNoTrust) {
  setWindowTitle(T(StringId::RenewalDialogTitle));
  setSizeGripEnabled(true);
  list_ = new QTableWidget(this);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setShowGrid(true);
  list_->verticalHeader()->hide();
  list_->setMouseTracking(true);
  list_->viewport()->installEventFilter(this);
  advanced_ = new QCheckBox(T(StringId::RenewalAdvancedView), this);
  buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons_->button(QDialogButtonBox::Cancel)->setText(T(StringId::CancelButton));
  connect(buttons_, &QDialogButtonBox::accepted, this, &RenewCertificatesDialog::accept);
  connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(advanced_, &QCheckBox::toggled, this, &RenewCertificatesDialog::OnAdvancedView);
  connect(list_, &QTableWidget::cellClicked, this, &RenewCertificatesDialog::ClickCell);
  connect(list_, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
    if (filling_ || item->column() != 0) return;
    table_.SetTicked(item->row(), item->checkState() == Qt::Checked);
    // Rows that depend on this one follow it; their items are changed in place, never
    // replaced under the signal.
    filling_ = true;
    for (int row = 0; row < list_->rowCount(); ++row) ShowTick(row);
    filling_ = false;
  });

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(advanced_);
  bottom->addStretch(1);
  bottom->addWidget(buttons_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_, 1);
  layout->addLayout(bottom);

  viewer_ = [this](const std::vector<uint8_t>& der) {
    std::vector<std::vector<uint8_t>> issuers;
    for (const auto& [handle, record] : source_.objects->certificates) issuers.push_back(record->value);
    CertificateViewDialog view(der, issuers, this);
    if (view.IsValid()) view.exec();
  };
  chooser_ = [this](const std::vector<std::string>& thumbprints) {
    CertificatePickerDialog picker(thumbprints, candidates_, this);
    picker.exec();
    return picker.Chosen();
  };
  Fill();
  list_->setFocus();
}

void RenewCertificatesDialog::Fill() {
  filling_ = true;
  const std::vector<std::string> titles = table_.ColumnTitles();
  list_->clear();
  list_->setColumnCount(static_cast<int>(titles.size()));
  QStringList headers;
  for (const std::string& title : titles) headers << Q(title);
  list_->setHorizontalHeaderLabels(headers);
  list_->setRowCount(static_cast<int>(table_.Rows().size()));
  for (int row = 0; row < list_->rowCount(); ++row) FillRow(row);
  list_->resizeColumnsToContents();
  list_->resizeRowsToContents();
  filling_ = false;
}

void RenewCertificatesDialog::FillRow(int row) {
  const RenewalTable::Row& data = table_.Rows()[static_cast<size_t>(row)];
  auto* tick = new QTableWidgetItem;
  tick->setData(Qt::UserRole, QVariant::fromValue<qulonglong>(data.pairing.handle));
  list_->setItem(row, 0, tick);
  ShowTick(row);
  for (int column = 1; column < list_->columnCount(); ++column) {
    auto* item = new QTableWidgetItem(Q(data.texts[static_cast<size_t>(column)]));
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    if (table_.IsLinkCell(row, column)) {
      QFont font = list_->font();
      font.setUnderline(true);
      item->setFont(font);
      item->setForeground(QColor(kLinkColour));
    }
    list_->setItem(row, column, item);
  }
}

void RenewCertificatesDialog::ShowTick(int row) {
  QTableWidgetItem* tick = list_->item(row, 0);
  if (!tick) return;
  const RenewalTable::Row& data = table_.Rows()[static_cast<size_t>(row)];
  const Qt::ItemFlags flags = Qt::ItemIsUserCheckable | Qt::ItemIsSelectable | (data.enabled ? Qt::ItemIsEnabled : Qt::NoItemFlags);
  if (tick->flags() != flags) tick->setFlags(flags);
  const Qt::CheckState state = data.ticked ? Qt::Checked : Qt::Unchecked;
  if (tick->checkState() != state || !tick->data(Qt::CheckStateRole).isValid()) tick->setCheckState(state);
}

void RenewCertificatesDialog::OnAdvancedView(bool on) {
  table_.SetAdvanced(on);
  // Ticks the user changed stay as they are: the table keeps them.
  Fill();
  if (on && sized_) resize(std::max(width(), FittingWidth()), height());
}

int RenewCertificatesDialog::FittingWidth() const {
  int width = 0;
  for (int column = 0; column < list_->columnCount(); ++column) width += list_->columnWidth(column);
  return std::min(width + 48, 1200);
}

void RenewCertificatesDialog::ClickCell(int row, int column) {
  if (!table_.IsLinkCell(row, column)) return;
  if (column == RenewalTable::kOldColumn) {
    const std::vector<uint8_t> der = table_.OldCertificateDer(row);
    if (!der.empty() && viewer_) viewer_(der);
  } else if (column == RenewalTable::kNewColumn) {
    X509* candidate = table_.NewCertificate(row);
    if (!candidate) return;
    const std::vector<uint8_t> der = Der(candidate);
    if (!der.empty() && viewer_) viewer_(der);
  } else if (column == RenewalTable::kChangeColumn) {
    const std::vector<std::string> choices = table_.ChoicesFor(row);
    if (choices.empty() || !chooser_) return;
    const std::string chosen = chooser_(choices);
    if (chosen.empty()) return;
    table_.Choose(row, chosen);
    filling_ = true;
    FillRow(row);
    for (int other = 0; other < list_->rowCount(); ++other) ShowTick(other);
    filling_ = false;
    list_->resizeColumnsToContents();
  }
}

bool RenewCertificatesDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_->viewport() && event->type() == QEvent::MouseMove) {
    const QModelIndex index = list_->indexAt(static_cast<QMouseEvent*>(event)->position().toPoint());
    const bool link = index.isValid() && table_.IsLinkCell(index.row(), index.column());
    list_->viewport()->setCursor(link ? Qt::PointingHandCursor : Qt::ArrowCursor);
  }
  return QDialog::eventFilter(watched, event);
}

void RenewCertificatesDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (sized_) return;
  sized_ = true;
  // Wide enough for the columns; never smaller than first shown.
  resize(std::max(width(), FittingWidth()), std::max(height(), 280));
  setMinimumSize(size());
}

void RenewCertificatesDialog::accept() {
  changed_ = false;
  // A card that left while the dialog was open gets no operation; the command says so.
  if (source_.cardLeft && source_.cardLeft()) {
    QDialog::reject();
    return;
  }
  const std::list<TvrServices::RenewalOperation> operations = table_.Operations();
  if (!operations.empty() && source_.token) {
    TaskListDialog tasks(T(StringId::RenewalDialogTitle), RenewalTable::TaskTexts(operations), parentWidget());
    // Declared after the task list: it is joined before the list and the operations go.
    TvrServices::RenewalWorker worker(*source_.token, operations, tasks);
    tasks.SetWorkerStart([&worker] { worker.Start(); });
    if (taskListHook_) taskListHook_(tasks);
    tasks.exec();
    worker.Join();
    changed_ = worker.Changed();
  }
  QDialog::accept();
}
