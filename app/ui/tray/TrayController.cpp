#include "TrayController.h"

#include <QApplication>
#include <QCursor>

#include "EventLog.h"
#include "UiText.h"

TrayController::TrayController(const QIcon& icon, QWidget* window, QObject* parent)
    : QObject(parent), window_(window), icon_(icon) {
  show_ = menu_.addAction(T(Res::StringId::TrayShow));
  hide_ = menu_.addAction(T(Res::StringId::TrayHide));
  menu_.addSeparator();
  about_ = menu_.addAction(T(Res::StringId::TrayAbout));
  menu_.addSeparator();
  close_ = menu_.addAction(T(Res::StringId::TrayClose));
  connect(show_, &QAction::triggered, this, [this] { emit showRequested(false); });
  connect(hide_, &QAction::triggered, this, &TrayController::hideRequested);
  connect(close_, &QAction::triggered, this, &TrayController::closeRequested);
  connect(about_, &QAction::triggered, this, &TrayController::aboutRequested);
  connect(&icon_, &QSystemTrayIcon::activated, this, &TrayController::OnActivated);
  icon_.setToolTip(QApplication::applicationDisplayName().left(kMaxTooltipLength));
}

TrayController::~TrayController() { Remove(); }

bool TrayController::HasTray() const {
  return QSystemTrayIcon::isSystemTrayAvailable() && icon_.isVisible();
}

bool TrayController::Add() {
  icon_.setToolTip(QApplication::applicationDisplayName().left(kMaxTooltipLength));
  // Shown even without a tray: Qt puts the icon into a tray that starts later (the usual
  // order at log-in). Until then balloons go to the fallback.
  icon_.show();
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    LogEvent(EVENTLOG_ERROR_TYPE, "Failed to add system tray icon!\nNo system tray on this desktop.");
    return false;
  }
  LogEvent(EVENTLOG_INFORMATION_TYPE, "Succeeded to add system tray icon!");
  return true;
}

void TrayController::Remove() {
  if (!icon_.isVisible()) return;
  const bool inTray = HasTray();
  icon_.hide();
  if (inTray) LogEvent(EVENTLOG_INFORMATION_TYPE, "Succeeded to delete system tray icon!");
}

void TrayController::ShowBalloon(const BalloonInfo& balloon) {
  if (!HasTray() || !QSystemTrayIcon::supportsMessages()) {
    if (fallback_) fallback_(balloon);
    return;
  }
  QSystemTrayIcon::MessageIcon icon = QSystemTrayIcon::Information;
  if (balloon.icon == kBalloonWarning) icon = QSystemTrayIcon::Warning;
  if (balloon.icon == kBalloonError) icon = QSystemTrayIcon::Critical;
  icon_.showMessage(Q(balloon.title).left(kMaxTitleLength), Q(balloon.text).left(kMaxTextLength),
                    icon, kBalloonTimeoutMs);
}

void TrayController::UpdateMenuState() {
  const bool shown = window_ && window_->isVisible() && !window_->isMinimized();
  show_->setEnabled(!shown);
  hide_->setEnabled(shown);
}

void TrayController::OnActivated(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::DoubleClick:
      emit showRequested(true);
      break;
    case QSystemTrayIcon::Context:
      // No menu while one of the program's dialogs waits for an answer.
      if (QApplication::activeModalWidget()) return;
      UpdateMenuState();
      if (window_) window_->activateWindow();
      menu_.popup(QCursor::pos());
      break;
    default:
      break;
  }
}
