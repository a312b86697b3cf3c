// The welcome screen of start-up: the animated picture for a few seconds.
#pragma once

#include <QDialog>
#include <QTimer>

#include "AnimatedPicture.h"

class SplashDialog : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kTimerId = 19840207;
  static constexpr int kDurationMs = 3000;

  explicit SplashDialog(QWidget* parent = nullptr, int durationMs = kDurationMs);
  AnimatedPicture* Picture() { return picture_; }
  bool PictureLoaded() const { return loaded_; }

 private:
  void End();

  AnimatedPicture* picture_;
  bool loaded_ = false;
  QTimer timer_;
};
