#include "WaitingDialog.h"

#include <QApplication>
#include <QVBoxLayout>

WaitingDialog::WaitingDialog(const QString& text, std::function<bool()> finished, QWidget* parent,
                             int tickMs)
    : QDialog(parent), finished_(std::move(finished)) {
  setWindowTitle(QApplication::applicationDisplayName());
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setWindowFlag(Qt::WindowCloseButtonHint, false);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 18, 24, 18);
  text_ = new QLabel(text, this);
  text_->setAlignment(Qt::AlignCenter);
  dots_ = new QLabel(this);
  dots_->setAlignment(Qt::AlignCenter);
  QFont big = dots_->font();
  big.setPointSize(big.pointSize() + 6);
  big.setBold(true);
  dots_->setFont(big);
  dots_->setMinimumHeight(dots_->fontMetrics().height() + 4);
  layout->addWidget(text_);
  layout->addWidget(dots_);
  setMinimumWidth(360);
  timer_.setObjectName(QStringLiteral("waitTimer%1").arg(kTimerId));
  timer_.setInterval(tickMs);
  connect(&timer_, &QTimer::timeout, this, &WaitingDialog::Tick);
  timer_.start();
}

void WaitingDialog::Tick() {
  const QString dots = dots_->text();
  dots_->setText(dots.size() >= 3 ? QString() : dots + ".");
  if (finished_ && finished_()) {
    timer_.stop();
    accept();
  }
}
