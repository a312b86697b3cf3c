#include "UpdatePopup.h"

#include <QApplication>
#include <QCursor>
#include <QEnterEvent>
#include <QGridLayout>
#include <QScreen>
#include <QStyle>

#include "UiText.h"
#include "UpdateCheck.h"

UpdatePopup::UpdatePopup(QWidget* parent, int stepMs) : QWidget(parent) {
  setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFocusPolicy(Qt::NoFocus);
  setMouseTracking(true);

  // The content keeps its full size; the window shows its top part while sliding.
  panel_ = new QFrame(this);
  panel_->setFrameShape(QFrame::Box);
  panel_->setAutoFillBackground(true);
  panel_->setMouseTracking(true);
  auto* layout = new QGridLayout(panel_);
  auto* icon = new QLabel(panel_);
  icon->setPixmap(QIcon(QStringLiteral(":/icon.png")).pixmap(32, 32));
  icon->setAlignment(Qt::AlignTop);
  auto* title = new QLabel(T(Res::StringId::AppDisplayName), panel_);
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  message_ = new QLabel(T(Res::StringId::UpdatePopupMessage), panel_);
  message_->setTextFormat(Qt::PlainText);
  message_->setWordWrap(true);
  auto* info = new QLabel(T(Res::StringId::UpdatePopupMoreInfo), panel_);
  info->setWordWrap(true);
  link_ = new QLabel(panel_);
  link_->setTextFormat(Qt::RichText);
  link_->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
  link_->setOpenExternalLinks(true);
  link_->setAlignment(Qt::AlignCenter);
  close_ = new QToolButton(panel_);
  close_->setIcon(style()->standardIcon(QStyle::SP_TitleBarCloseButton));
  close_->setAutoRaise(true);
  close_->setFocusPolicy(Qt::NoFocus);
  layout->addWidget(icon, 0, 0, 3, 1);
  layout->addWidget(title, 0, 1);
  layout->addWidget(close_, 0, 2, Qt::AlignTop | Qt::AlignRight);
  layout->addWidget(message_, 1, 1, 1, 2);
  layout->addWidget(info, 2, 1, 1, 2);
  layout->addWidget(link_, 3, 0, 1, 3);
  layout->setColumnStretch(1, 1);
  SetAnnouncement(message_->text(), TvrServices::kDefaultUpdateServer);
  panel_->setFixedSize(panel_->sizeHint().expandedTo(QSize(340, 130)));
  resize(panel_->size());

  connect(close_, &QToolButton::clicked, this, [this] {
    // During a slide the click is ignored.
    if (slide_ == Slide::None) emit closeClicked();
  });
  stepTimer_.setInterval(stepMs);
  connect(&stepTimer_, &QTimer::timeout, this, &UpdatePopup::Step);
}

void UpdatePopup::SetAnnouncement(const QString& message, const std::string& url) {
  message_->setText(message);
  QString safe = Q(TvrServices::SafeWebAddress(url));
  link_->setText(safe.isEmpty() ? QString()
                                : QStringLiteral("<a href=\"%1\">%2</a>").arg(safe.toHtmlEscaped(), safe.toHtmlEscaped()));
  link_->setToolTip(PlainToolTip(safe));
}

void UpdatePopup::PlaceWithHeight(int height) {
  QScreen* screen = QApplication::primaryScreen();
  QRect work = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  int width = panel_->width();
  setGeometry(work.x() + work.width() - width, work.y() + work.height() - height, width, height);
}

void UpdatePopup::SlideIn() {
  hovering_ = false;
  slide_ = Slide::In;
  height_ = 0;
  stepTimer_.start();
}

void UpdatePopup::SlideOut() {
  slide_ = Slide::Out;
  height_ = isVisible() ? height() : 0;
  stepTimer_.start();
}

void UpdatePopup::Step() {
  if (slide_ == Slide::In) {
    ++height_;
    PlaceWithHeight(height_);
    if (!isVisible()) show();
    if (height_ >= panel_->height()) {
      stepTimer_.stop();
      slide_ = Slide::None;
      emit slideInFinished();
    }
  } else if (slide_ == Slide::Out) {
    --height_;
    if (height_ > 0) PlaceWithHeight(height_);
    if (height_ <= 0) {
      hide();
      stepTimer_.stop();
      slide_ = Slide::None;
      emit slideOutFinished();
    }
  } else {
    stepTimer_.stop();
  }
}

void UpdatePopup::StartHover() {
  if (slide_ == Slide::Out || hovering_) return;
  hovering_ = true;
  emit hoverStarted();
}

void UpdatePopup::enterEvent(QEnterEvent* event) {
  StartHover();
  QWidget::enterEvent(event);
}

void UpdatePopup::mouseMoveEvent(QMouseEvent* event) {
  StartHover();
  QWidget::mouseMoveEvent(event);
}

void UpdatePopup::leaveEvent(QEvent* event) {
  // A leave onto one of the pop-up's own controls keeps the hover.
  if (slide_ != Slide::Out && hovering_ && !geometry().contains(QCursor::pos())) {
    hovering_ = false;
    emit hoverEnded();
  }
  QWidget::leaveEvent(event);
}
