// The program's main window: the property sheet with the pages the program has, the tray
// icon and the balloons. Closing the window asks whether to end the program or hide it.
#pragma once

#include <QLabel>
#include <QTabWidget>
#include <QWidget>
#include <functional>
#include <memory>

#include "BalloonPresenter.h"
#include "BalloonQueue.h"
#include "QtUserPort.h"
#include "VendorTokens.h"

class SettingsPage;
class TrayController;

class MainWindow : public QWidget {
  Q_OBJECT
 public:
  MainWindow(TokenRefMap tokens, QtUserPort& port, int balloonIntervalMs = BalloonPresenter::kBalloonIntervalMs);
  ~MainWindow() override;

  // Balloons from any thread.
  void QueueBalloon(const std::string& title, const std::string& text, uint32_t icon);
  BalloonQueue& Balloons() { return balloons_; }
  BalloonPresenter& Presenter() { return *presenter_; }
  TrayController& Tray() { return *tray_; }
  QTabWidget* Sheet() { return sheet_; }
  SettingsPage* Settings() { return settings_; }
  QLabel* StatusLine() { return status_; }

  // Shows the window (restored when minimised) and, with activate, brings it forward.
  void BringToFront(bool activate);
  // Hides the window; without a tray it is minimised instead, so that it stays reachable.
  void HideToTray();
  // The window goes away for good: balloons still queued are shown, the tray icon
  // removed; then the program ends.
  void Destroy();
  // The end of the desktop session: the queued balloons are dropped unshown; the window
  // and the tray icon stay.
  void EndSessionCleanup();

  // Runs when the window has been destroyed (the program then ends).
  void SetOnDestroyed(std::function<void()> f) { onDestroyed_ = std::move(f); }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  TokenRefMap tokens_;
  QtUserPort& port_;
  BalloonQueue balloons_;
  std::unique_ptr<TrayController> tray_;
  std::unique_ptr<BalloonPresenter> presenter_;
  QTabWidget* sheet_;
  SettingsPage* settings_;
  QLabel* status_;
  bool destroyed_ = false;
  std::function<void()> onDestroyed_;
};
