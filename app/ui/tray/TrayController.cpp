#include "TrayController.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include <memory>
#include <optional>

#include "CertificateTexts.h"

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
  AskForMarkup(QDBusConnection::sessionBus());
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
  const BalloonInfo shown{PlainBalloonText(balloon.title), PlainBalloonText(balloon.text), balloon.icon};
  if (!TakesMessages()) {
    if (fallback_) fallback_(shown);
    return;
  }
  QSystemTrayIcon::MessageIcon icon = QSystemTrayIcon::Information;
  if (shown.icon == kBalloonWarning) icon = QSystemTrayIcon::Warning;
  if (shown.icon == kBalloonError) icon = QSystemTrayIcon::Critical;
  // Cut before escaping, so that no entity is cut in half. The title is plain text for
  // every notification server.
  QString text = Q(shown.text).left(kMaxTextLength);
  if (escapeMarkup_) text = text.toHtmlEscaped();
  HandOver(Q(shown.title).left(kMaxTitleLength), text, icon);
}

bool TrayController::TakesMessages() const { return HasTray() && QSystemTrayIcon::supportsMessages(); }

void TrayController::HandOver(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon icon) {
  icon_.showMessage(title, text, icon, kBalloonTimeoutMs);
}

void TrayController::AskForMarkup(const QDBusConnection& bus) {
  if (!bus.isConnected()) {
    escapeMarkup_ = false;  // Qt's own balloon: plain text
    return;
  }
  constexpr int kAnswerMs = 2000;
  // Both answers come back on this thread; until then the texts stay escaped. Qt hands
  // balloons to the notification server only when a StatusNotifier host is registered.
  auto host = std::make_shared<std::optional<bool>>();
  auto markup = std::make_shared<std::optional<bool>>();
  // Only the answers to the latest question count.
  const int question = ++markupQuestion_;
  auto settle = [this, host, markup, question] {
    if (question == markupQuestion_) escapeMarkup_ = *host != false && *markup != false;
  };
  QDBusMessage hostCall = QDBusMessage::createMethodCall(
      QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  hostCall << QStringLiteral("org.kde.StatusNotifierWatcher") << QStringLiteral("IsStatusNotifierHostRegistered");
  escapeMarkup_ = true;
  auto* hostWatch = new QDBusPendingCallWatcher(bus.asyncCall(hostCall, kAnswerMs), this);
  connect(hostWatch, &QDBusPendingCallWatcher::finished, this, [host, settle](QDBusPendingCallWatcher* call) {
    QDBusPendingReply<QDBusVariant> reply = *call;
    *host = !reply.isError() && reply.value().variant().toBool();
    settle();
    call->deleteLater();
  });
  QDBusMessage capsCall = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("GetCapabilities"));
  auto* capsWatch = new QDBusPendingCallWatcher(bus.asyncCall(capsCall, kAnswerMs), this);
  connect(capsWatch, &QDBusPendingCallWatcher::finished, this, [markup, settle](QDBusPendingCallWatcher* call) {
    QDBusPendingReply<QStringList> reply = *call;
    *markup = !reply.isError() && reply.value().contains(QStringLiteral("body-markup"));
    settle();
    call->deleteLater();
  });
}

std::string PlainBalloonText(const std::string& text) { return DisplayLines(text); }

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
