#include "AnimatedPicture.h"

#include <QPainter>

#include "GifWalker.h"

AnimatedPicture::AnimatedPicture(QWidget* parent) : QWidget(parent), background_(Qt::white) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, &AnimatedPicture::Advance);
}

AnimatedPicture::~AnimatedPicture() { ReleasePicture(); }

bool AnimatedPicture::LoadFromData(const QByteArray& data) {
  ReleasePicture();
  GifWalker walker(reinterpret_cast<const uint8_t*>(data.constData()),
                   static_cast<size_t>(data.size()));
  if (!walker.IsGif()) {
    still_ = QImage::fromData(data);
    if (still_.isNull()) return false;
    CreateCanvas(still_.width(), still_.height());
    return true;
  }
  const size_t blocks = walker.CountGraphicBlocks();
  if (blocks == 0) return false;
  if (blocks == 1) {
    still_ = QImage::fromData(data, "GIF");
    if (still_.isNull()) return false;
  } else {
    for (GifFrameData& data : walker.ExtractFrames()) {
      QImage screen = QImage::fromData(data.gif.data(), static_cast<int>(data.gif.size()), "GIF");
      if (screen.isNull()) continue;  // a frame that does not decode is left out
      // The decoder returns the whole logical screen; keep the frame's own rectangle.
      QRect rect(data.left, data.top, data.width, data.height);
      if (data.width <= 0 || data.height <= 0) rect = screen.rect();
      rect = rect.intersected(screen.rect());
      if (rect.isEmpty()) continue;
      frames_.push_back({screen.copy(rect).convertToFormat(QImage::Format_ARGB32_Premultiplied),
                         rect, data.delay, data.disposal});
    }
    if (frames_.empty()) return false;
  }
  CreateCanvas(walker.ScreenWidth(), walker.ScreenHeight());
  return true;
}

void AnimatedPicture::CreateCanvas(int width, int height) {
  background_ = palette().color(QPalette::Window);
  canvas_ = QImage(width, height, QImage::Format_ARGB32_Premultiplied);
  canvas_.fill(background_);
  setFixedSize(width, height);
}

void AnimatedPicture::StartDisplay() {
  if (canvas_.isNull()) return;
  if (frames_.size() > 1) {
    Dispose(current_);
    DrawCurrent();
    return;
  }
  if (!still_.isNull()) {
    QPainter painter(&canvas_);
    painter.drawImage(canvas_.rect(), still_);
    update();
  }
}

void AnimatedPicture::DrawCurrent() {
  const Frame& frame = frames_[current_];
  if (frame.disposal == 3) backup_ = canvas_.copy(frame.rect);
  {
    QPainter painter(&canvas_);
    painter.drawImage(frame.rect.topLeft(), frame.image);
  }
  update();
  timer_.start(static_cast<int>(FrameDurationMs(frame.delay)));
}

void AnimatedPicture::Dispose(size_t index) {
  const Frame& frame = frames_[index];
  if (frame.disposal == 2) {
    QPainter painter(&canvas_);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(frame.rect, background_);
  } else if (frame.disposal == 3 && !backup_.isNull()) {
    QPainter painter(&canvas_);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(frame.rect.topLeft(), backup_);
    backup_ = QImage();
  }
}

void AnimatedPicture::Advance() {
  if (frames_.size() < 2) return;
  Dispose(current_);
  if (++current_ >= frames_.size()) {
    current_ = 0;
    canvas_.fill(background_);
  }
  DrawCurrent();
}

void AnimatedPicture::StopAnimation() { timer_.stop(); }

void AnimatedPicture::ReleasePicture() {
  StopAnimation();
  frames_.clear();
  still_ = QImage();
  canvas_ = QImage();
  backup_ = QImage();
  current_ = 0;
  background_ = Qt::white;
}

void AnimatedPicture::paintEvent(QPaintEvent*) {
  if (canvas_.isNull()) return;
  QPainter painter(this);
  painter.drawImage(0, 0, canvas_);
}
