// The program's main window: the reader and card lists, the log-in button and the
// property sheet with the pages the program has; the card monitor, the personal store
// and the registration record; the tray icon and the balloons. Closing the window asks
// whether to end the program or hide it.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <optional>
#include <vector>

#include "BalloonPresenter.h"
#include "BalloonQueue.h"
#include "CardMonitor.h"
#include "CardSession.h"
#include "CertificateRegistrar.h"
#include "ContentsHost.h"
#include "InterfaceThreadPrompter.h"
#include "LateWindowGuard.h"
#include "PinActivation.h"
#include "PinOperations.h"
#include "PinVendorPaths.h"
#include "QtPinPrompts.h"
#include "QtUserPort.h"
#include "UpdateAnnouncer.h"
#include "VendorTokens.h"
#include "platform/CertStore.h"

class AdvancedSettingsPage;
class CardPropertiesPage;
class ContentsPage;
class PinPage;
class SettingsPage;
class TrayController;
class MonitorBridge;

class MainWindow : public QWidget, public IContentsHost, public IPinPageHost {
  Q_OBJECT
 public:
  // The restart of card detection after a failure.
  static constexpr int kRestartDetectionTimerId = 20110207;
  // The daily update check, and the pop-up's show and hide.
  static constexpr int kUpdateCheckTimerId = 20040207;
  static constexpr int kShowUpdateTimerId = 20090207;
  static constexpr int kHideUpdateTimerId = 20100207;
  // Property-sheet page indexes.
  enum Page { kPropertiesPage = 0, kContentsPage, kPinPage, kSettingsPage, kAdvancedSettingsPage };

  struct Options {
    int balloonIntervalMs = BalloonPresenter::kBalloonIntervalMs;
    IPcsc* pcsc = nullptr;  // the system's PC/SC when null
    TvrServices::HttpOptions http;
    UpdateAnnouncer::Options update;  // its HTTP options come from `http` unless it names a server
    // A tray icon made (and added) before the window, which the window takes over; none:
    // the window makes its own.
    std::shared_ptr<TrayController> tray;
    // False: the caller adds the window's own icon (after showing the window, so that the
    // window is not kept waiting for the tray).
    bool addTrayIcon = true;
  };

  MainWindow(TokenRefMap tokens, QtUserPort& port, Options options);
  MainWindow(TokenRefMap tokens, QtUserPort& port);
  ~MainWindow() override;

  // Balloons from any thread.
  void QueueBalloon(const std::string& title, const std::string& text, uint32_t icon);
  BalloonQueue& Balloons() { return balloons_; }
  BalloonPresenter& Presenter() { return *presenter_; }
  TrayController& Tray() { return *tray_; }
  QTabWidget* Sheet() { return sheet_; }
  SettingsPage* Settings() { return settings_; }
  CardPropertiesPage* Properties() { return properties_; }
  // The contents, PIN and advanced pages are built when first shown; asking for one
  // builds it.
  ContentsPage* Contents();
  PinPage* Pins();
  AdvancedSettingsPage* AdvancedSettings();
  InterfaceThreadPrompter& Prompter() { return prompter_; }
  QLabel* StatusLine() { return status_; }
  QComboBox* ReaderList() { return readerList_; }
  QComboBox* CardList() { return cardList_; }
  QPushButton* LoginButton() { return loginButton_; }
  QMenu* SystemMenu() { return systemMenu_; }
  QTimer& RestartTimer() { return restartTimer_; }
  UpdateAnnouncer& Updates() { return *updates_; }
  QTimer& UpdateCheckTimer() { return updateCheckTimer_; }
  // The About dialog, modal, without a parent.
  void OpenAbout();
  CardSession& Session() { return session_; }
  CardMonitor& Monitor() { return *monitor_; }
  CertificateRegistrar& Registrar() { return *registrar_; }
  // True while a card read or a card task runs off the interface thread.
  bool Busy() const { return busy_ || !tasks_.empty(); }
  // True while the work of a card task runs (its follow-up not yet queued).
  bool TaskWorking() const { return *working_ > 0; }
  // True while the window leaves the session alone: its own card read runs, or a command,
  // dialog, worker or card task holds the card.
  bool Deferring() { return busy_ || session_.Keeper().Held(); }

  // Shows the window (restored when minimised) and, with activate, brings it forward.
  void BringToFront(bool activate);
  // Hides the window; without a tray it is minimised instead, so that it stays reachable.
  void HideToTray();
  // How long the end lets the other threads finish before the program leaves them.
  static constexpr int kEndGraceMs = 1500;

  // The one way out, whatever ends the program: the window and every dialog hidden at
  // once; every transfer aborted; from now on no follow-up of a running command shows a
  // box or a dialog (it is logged); every certificate out of the store and the record
  // emptied, as file work alone; then a short grace for the other threads, and the
  // program leaves (SetOnDestroyed) without waiting for one that is still inside a
  // module or PC/SC, and without calling either from here. Runs once; `why` is logged.
  void End(const std::string& why, bool displayGone = false);
  bool Ended() const { return ended_; }
  // Tray Close and the close question's "Bezárás".
  void Destroy();
  // The end of the desktop session, and SIGTERM, SIGHUP, SIGINT.
  void EndSessionCleanup();
  // The display is gone: the same end, without touching the display.
  void CleanUpBeforeExit();

  // Runs when the end is done: the program leaves (the real program exits the process
  // at once; tests watch it).
  void SetOnDestroyed(std::function<void()> f) { onDestroyed_ = std::move(f); }
  // Runs first thing in the end (a new start must not be taken for this one).
  void SetOnEnding(std::function<void()> f) { onEnding_ = std::move(f); }

  // The pages' entry points.
  void RefreshCardList();
  void ConnectSelectedCard();
  void RefreshPropertyPages();
  void OnLoginLogout();

  // What the pages read: the connected card and the caches, under a hold on the card.
  CardHold HoldCard() override { return session_.HoldCard(); }
  PKCS11Base* Token() override { return session_.Token(); }
  TokenInfo* GetTokenInfo(bool refresh) override { return session_.GetTokenInfo(refresh); }
  TokenObjects* GetTokenObjects(bool refresh) override { return session_.GetTokenObjects(refresh); }
  std::string ReaderName() override { return monitor_->CurrentReader(); }
  std::string CardName() override { return monitor_->CardName(); }
  Platform::CertStore* PersonalStore() override { return store_.get(); }
  void UnregisterCertificates(const std::string& reader) override { registrar_->UnregisterCertificates(reader); }
  void RegisterCertificates(const std::string& reader, const std::string& cryptoProvider,
                            const std::string& keyStorageProvider, PKCS11Base* token,
                            const TokenObjects* objects) override {
    registrar_->RegisterCertificates(reader, cryptoProvider, keyStorageProvider, token, objects);
  }
  bool CardPresent(const std::string& reader) override { return monitor_->HasCard(reader); }
  std::unique_ptr<TokenInfo> ReadTokenInfo() override;
  void KeepTokenInfo(std::unique_ptr<TokenInfo> info) override { session_.KeepTokenInfo(std::move(info)); }
  // A page's card work on a thread of its own: the window keeps painting, its card
  // refresh, destruction and end of session wait until `done` has run (queued to the
  // interface thread). The work is given the card the window keeps meanwhile.
  void RunCardTask(std::function<void()> work, std::function<void()> done) override;
  bool CardUpdating() override { return session_.Working(); }
  void RereadCard(std::function<void()> done) override;
  void WhenCardConnected(std::function<void()> then) override;
  void RunStoreTask(std::function<void()> work, std::function<void()> done) override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  // Builds the page of that index in place of its placeholder, unless it is built.
  void EnsurePage(int index);
  void ShowSystemInformation();
  void FillReaderCombo(const QStringList& readers);
  void OnReaderListChanged(const QStringList& readers);
  void OnCardStatusChanged(const QString& reader, const QString& cardName);
  void OnSelchangeReader();
  void OnRestartTimer();
  void ApplyView();
  void ShowNotice(const std::optional<CardSession::Notice>& notice);
  // The window's own card work (refresh, another slot, log-in, log-out, reading the card
  // again) as a card task: `work` runs on a worker with the session's card, taken out of
  // the session meanwhile; `done` runs on the interface thread once the card is back, the
  // hold still alive. The lists, the log-in button, the contents tree and the PIN page's
  // buttons are disabled until then; queued refreshes, the destruction and the end of the
  // session wait. `hold` is the caller's, carried into the task (one is taken without).
  using SessionJob = std::function<std::optional<CardSession::Notice>(CardSession::Work&)>;
  void RunSessionWork(SessionJob work, std::function<void(const std::optional<CardSession::Notice>&)> done,
                      CardHold hold = CardHold());
  // The end of the window's own card work: its notice and the active page's refill, unless
  // the window is going.
  void EndSessionWork(const std::optional<CardSession::Notice>& notice);
  void SetPagesUpdating(bool updating);
  void StartCardTask(CardHold hold, std::function<void()> work, std::function<void()> done);
  void RunDeferred();
  void FinishCardTask(int id);
  // The first hold disables the lists and the log-in button; after the last one they
  // come back and the notices that waited are applied.
  void OnHeldChanged(bool held);
  void EnableControls();
  void ShowCardChanged();
  void StopDetection();
  // Runs what waits for the reader's card once the window has it again: no card work of
  // the window's own, no card notice without its refresh.
  void RunConnectWaiters();

  TokenRefMap tokens_;
  QtUserPort& port_;
  Options options_;
  BalloonQueue balloons_;
  std::shared_ptr<TrayController> tray_;
  std::unique_ptr<BalloonPresenter> presenter_;
  CardSession session_;
  SystemPinVendorPaths pinPaths_;
  // The PIN activation on insertion asks from the monitor thread through the prompter.
  QtPinPrompts activationPrompts_;
  InterfaceThreadPrompter prompter_;
  TransportPinActivation activation_;
  // Declared before the registrar and the monitor: it outlives every user of it.
  Platform::CertStorePtr store_;
  // Ends the registrations' network exchanges when detection stops.
  std::shared_ptr<TvrServices::HttpAbort> registrationAbort_ = std::make_shared<TvrServices::HttpAbort>();
  std::unique_ptr<CertificateRegistrar> registrar_;
  std::unique_ptr<MonitorBridge> bridge_;
  std::unique_ptr<CardMonitor> monitor_;
  QTimer restartTimer_;
  QTimer updateCheckTimer_;
  QTimer showUpdateTimer_;
  QTimer hideUpdateTimer_;
  std::unique_ptr<UpdateAnnouncer> updates_;

  QMenuBar* menuBar_;
  QMenu* systemMenu_;
  QComboBox* readerList_;
  QComboBox* cardList_;
  QPushButton* loginButton_;
  QTabWidget* sheet_;
  CardPropertiesPage* properties_;
  SettingsPage* settings_;
  // Null until built.
  ContentsPage* contents_ = nullptr;
  PinPage* pins_ = nullptr;
  AdvancedSettingsPage* advanced_ = nullptr;
  QLabel* status_;

  bool busy_ = false;
  // The card tasks under way: each holds the card until its `done` has run.
  struct CardTask {
    std::thread thread;
    CardHold hold;
    std::function<void()> done;
  };
  std::map<int, CardTask> tasks_;
  int nextTask_ = 0;
  // What runs once the window has connected the reader's card again (WhenCardConnected).
  std::vector<std::function<void()>> connectWaiters_;
  // The newest reader list that came while the session was held.
  std::optional<QStringList> pendingReaders_;
  bool refreshPending_ = false;
  // The lists and the log-in button wait for a refresh that waited.
  bool controlsWaiting_ = false;
  // Read by the monitor thread too (its balloons go nowhere after the end).
  std::atomic<bool> ended_{false};
  // Card task works still running (the end's grace waits for them a little).
  std::shared_ptr<std::atomic<int>> working_ = std::make_shared<std::atomic<int>>(0);
  std::unique_ptr<LateWindowGuard> lateWindows_;
  bool destroyed_ = false;
  bool detectionStopped_ = false;
  bool noticeOpen_ = false;
  std::function<void()> onDestroyed_;
  std::function<void()> onEnding_;
};
