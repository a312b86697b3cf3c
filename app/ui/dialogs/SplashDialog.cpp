#include "SplashDialog.h"

#include <QFile>
#include <QVBoxLayout>

SplashDialog::SplashDialog(QWidget* parent, int durationMs) : QDialog(parent) {
  setWindowFlags(Qt::SplashScreen | Qt::FramelessWindowHint);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  picture_ = new AnimatedPicture(this);
  layout->addWidget(picture_);
  QFile file(QStringLiteral(":/splash.gif"));
  if (file.open(QIODevice::ReadOnly)) loaded_ = picture_->LoadFromData(file.readAll());
  if (loaded_) picture_->StartDisplay();
  timer_.setObjectName(QStringLiteral("splashTimer%1").arg(kTimerId));
  timer_.setSingleShot(true);
  timer_.setInterval(durationMs);
  connect(&timer_, &QTimer::timeout, this, &SplashDialog::End);
  timer_.start();
}

void SplashDialog::End() {
  timer_.stop();
  if (loaded_) picture_->StopAnimation();
  accept();
}
