// The notification-area icon with its menu, and where balloons go. Without a tray on the
// desktop the balloons go to a fallback (the main window's status line), so that the
// user still sees them.
//
// Balloon texts carry names from outside (readers name themselves after USB device
// strings) and are always shown as plain text: control and bidirectional characters are
// replaced line by line, and where the desktop's notification server renders markup in
// the text (Qt hands balloons to it when a StatusNotifier host runs; its own balloon is
// plain text) the text is escaped.
#pragma once

#include <QAction>
#include <QDBusConnection>
#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>

#include "BalloonPresenter.h"

class TrayController : public QObject, public IBalloonSink {
  Q_OBJECT
 public:
  static constexpr int kBalloonTimeoutMs = 15000;
  // Balloon titles and texts beyond these lengths are cut (the tray's own limits).
  static constexpr int kMaxTitleLength = 63;
  static constexpr int kMaxTextLength = 255;
  static constexpr int kMaxTooltipLength = 127;

  // `window` may be null: an icon shown before the window exists (a start into the tray)
  // gets it with SetWindow; until then its menu commands reach nobody.
  TrayController(const QIcon& icon, QWidget* window, QObject* parent = nullptr);
  ~TrayController() override;
  void SetWindow(QWidget* window) { window_ = window; }

  // Shows the icon; false when the desktop has no tray yet (the icon then appears in one
  // that starts later, and HasTray turns true).
  bool Add();
  void Remove();
  bool HasTray() const;

  void ShowBalloon(const BalloonInfo& balloon) override;
  // Whether balloon texts are escaped for a markup-rendering notification server. Asked
  // of the session bus in the background at construction (AskForMarkup); a no from
  // either answer turns escaping off, and it stays on until one comes.
  bool EscapesMarkup() const { return escapeMarkup_; }
  void SetEscapesMarkup(bool escape) { escapeMarkup_ = escape; }
  void AskForMarkup(const QDBusConnection& bus);
  void SetFallback(std::function<void(const BalloonInfo&)> fallback) { fallback_ = std::move(fallback); }

  // The menu with "Megjelenítés" and "Elrejtés" set for the window's state.
  QMenu* Menu() { return &menu_; }
  void UpdateMenuState();
  QAction* ShowAction() { return show_; }
  QAction* HideAction() { return hide_; }
  QAction* AboutAction() { return about_; }
  QAction* CloseAction() { return close_; }

 signals:
  void showRequested(bool activate);
  void hideRequested();
  void closeRequested();
  void aboutRequested();

 protected:
  virtual bool TakesMessages() const;
  // Hands one balloon to the tray: the text as the tray shows it.
  virtual void HandOver(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon icon);

 private:
  void OnActivated(QSystemTrayIcon::ActivationReason reason);

  QPointer<QWidget> window_;
  QSystemTrayIcon icon_;
  QMenu menu_;
  QAction* show_;
  QAction* hide_;
  QAction* about_;
  QAction* close_;
  std::function<void(const BalloonInfo&)> fallback_;
  bool escapeMarkup_ = true;
  int markupQuestion_ = 0;
};

// Outside text of a balloon as plain text, line breaks kept.
std::string PlainBalloonText(const std::string& text);
