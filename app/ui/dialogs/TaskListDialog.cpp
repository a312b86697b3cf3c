#include "TaskListDialog.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace {

// Pending: a grey ring; succeeded: a green tick; failed: a red cross.
QIcon TaskIcon(TaskImage image) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  switch (image) {
    case TaskImage::Pending:
      p.setPen(QPen(QColor(150, 150, 150), 1.5));
      p.drawEllipse(QPointF(8, 8), 4.5, 4.5);
      break;
    case TaskImage::Succeeded:
      p.setPen(QPen(QColor(30, 140, 50), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.drawPolyline(QPolygonF({QPointF(3, 8.5), QPointF(6.5, 12), QPointF(13, 4)}));
      break;
    case TaskImage::Failed:
      p.setPen(QPen(QColor(200, 30, 30), 2.5, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(4, 4), QPointF(12, 12));
      p.drawLine(QPointF(12, 4), QPointF(4, 12));
      break;
  }
  return QIcon(pixmap);
}

}  // namespace

TaskListDialog::TaskListDialog(const QString& title, std::vector<std::string> tasks, QWidget* parent)
    : QDialog(parent),
      state_(std::move(tasks)),
      icons_{TaskIcon(TaskImage::Pending), TaskIcon(TaskImage::Succeeded), TaskIcon(TaskImage::Failed)} {
  setWindowTitle(title);
  list_ = new QListWidget(this);
  list_->setSelectionMode(QAbstractItemView::NoSelection);
  list_->setFocusPolicy(Qt::NoFocus);
  list_->setIconSize(QSize(16, 16));
  for (const std::string& task : state_.Tasks()) list_->addItem(QString::fromStdString(task));
  spinner_ = new QLabel(this);
  spinner_->setFixedWidth(fontMetrics().horizontalAdvance(QStringLiteral("W")) + 4);
  spinner_->setAlignment(Qt::AlignCenter);
  current_ = new QLabel(this);
  current_->setTextFormat(Qt::PlainText);  // the steps name card labels
  ok_ = new QPushButton(tr("OK"), this);
  ok_->setEnabled(false);
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

  auto* status = new QHBoxLayout;
  status->addWidget(spinner_);
  status->addWidget(current_, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_, 1);
  layout->addLayout(status);
  layout->addLayout(buttons);
  resize(460, 300);

  timer_.setInterval(TaskListState::kTimerPeriodMs);
  connect(&timer_, &QTimer::timeout, this, &TaskListDialog::OnTimer);
  ShowState();
}

void TaskListDialog::TaskStarted(int kind, int index) {
  QMetaObject::invokeMethod(this, [this, kind, index] { OnTaskStarted(kind, index); }, Qt::QueuedConnection);
}

void TaskListDialog::TaskFinished(int kind, int index) {
  QMetaObject::invokeMethod(this, [this, kind, index] { OnTaskFinished(kind, index); }, Qt::QueuedConnection);
}

void TaskListDialog::OnTaskStarted(int kind, int index) {
  if (kind == 0) started_ = true;
  state_.OnTaskStarted(kind, index);
  ShowState();
}

void TaskListDialog::OnTaskFinished(int kind, int index) {
  state_.OnTaskFinished(kind, index);
  ShowState();
}

void TaskListDialog::OnTimer() {
  state_.OnTimer();
  ShowState();
}

void TaskListDialog::ShowState() {
  for (int row = 0; row < list_->count(); ++row)
    list_->item(row)->setIcon(icons_[static_cast<size_t>(state_.Images()[static_cast<size_t>(row)])]);
  spinner_->setText(QString::fromStdString(state_.Spinner()));
  current_->setText(QString::fromStdString(state_.CurrentStep()));
  ok_->setEnabled(state_.OkEnabled());
  if (state_.TimerRunning() && !timer_.isActive()) timer_.start();
  else if (!state_.TimerRunning() && timer_.isActive()) timer_.stop();
}

void TaskListDialog::reject() {
  if (Closable()) QDialog::reject();
}

void TaskListDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (started_ || !start_) return;
  started_ = true;
  start_();
}

void TaskListDialog::closeEvent(QCloseEvent* event) {
  if (Closable()) QDialog::closeEvent(event);
  else event->ignore();
}
