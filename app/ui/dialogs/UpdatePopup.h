// The borderless pop-up that announces a newer version: it slides up from the bottom
// right of the screen's work area, shows a link, and slides down again. The slide runs
// on a timer of the interface thread; the pop-up never takes the focus. Its owner
// (UpdateAnnouncer) decides when to slide and keeps the hide countdown.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QTimer>
#include <QToolButton>
#include <QWidget>

#include <string>

class UpdatePopup : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kStepMs = 4;  // per pixel of height

  explicit UpdatePopup(QWidget* parent = nullptr, int stepMs = kStepMs);

  // The message line and the link of one announcement; an address that is not http or
  // https gives no link.
  void SetAnnouncement(const QString& message, const std::string& url);
  void SlideIn();
  void SlideOut();

  bool SlidingIn() const { return slide_ == Slide::In; }
  bool SlidingOut() const { return slide_ == Slide::Out; }
  bool Hovering() const { return hovering_; }
  // The full size; while sliding only its top part is on screen.
  QSize FullSize() const { return panel_->size(); }
  QLabel* Message() { return message_; }
  QLabel* Link() { return link_; }
  QToolButton* CloseButton() { return close_; }

 signals:
  void slideInFinished();
  void slideOutFinished();
  void hoverStarted();
  void hoverEnded();
  void closeClicked();

 protected:
  void enterEvent(QEnterEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  enum class Slide { None, In, Out };
  void Step();
  void StartHover();
  void PlaceWithHeight(int height);

  QFrame* panel_;
  QLabel* message_;
  QLabel* link_;
  QToolButton* close_;
  QTimer stepTimer_;
  Slide slide_ = Slide::None;
  int height_ = 0;
  bool hovering_ = false;
};
