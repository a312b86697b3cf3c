// A picture control that plays animated GIFs: the frames are cut from the data by the GIF
// walker, each decoded on its own, and drawn into a canvas by a timer on the interface
// thread with the frame's delay and disposal. Any other picture is drawn still.
#pragma once

#include <QColor>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <vector>

class AnimatedPicture : public QWidget {
  Q_OBJECT
 public:
  struct Frame {
    QImage image;  // the frame's own rectangle
    QRect rect;    // where it goes on the canvas
    uint32_t delay;
    uint32_t disposal;
  };

  explicit AnimatedPicture(QWidget* parent = nullptr);
  ~AnimatedPicture() override;

  // Replaces whatever was loaded; false (and nothing shown) when nothing decodes. The
  // control takes the picture's size.
  bool LoadFromData(const QByteArray& data);
  // Draws the still picture, or starts the animation.
  void StartDisplay();
  // Stops the animation at once; the current frame is kept for a later start.
  void StopAnimation();
  // Stops and forgets everything; the control can be loaded again.
  void ReleasePicture();

  bool IsAnimating() const { return timer_.isActive(); }
  size_t FrameCount() const { return frames_.size(); }
  size_t CurrentFrame() const { return current_; }
  const Frame& FrameAt(size_t i) const { return frames_[i]; }
  const QImage& Canvas() const { return canvas_; }
  // The time the current frame stays, as the timer was set.
  int CurrentIntervalMs() const { return timer_.interval(); }
  // One step of the animation (what the timer runs).
  void Advance();

  QSize sizeHint() const override { return canvas_.isNull() ? QSize(0, 0) : canvas_.size(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void DrawCurrent();
  void Dispose(size_t index);
  void CreateCanvas(int width, int height);

  std::vector<Frame> frames_;
  QImage still_;
  QImage canvas_;
  QImage backup_;
  QColor background_;
  size_t current_ = 0;
  QTimer timer_;
};
