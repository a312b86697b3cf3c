#include "MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QSignalBlocker>
#include <QMetaObject>
#include <QVBoxLayout>

#include <atomic>
#include <chrono>
#include <thread>

#include "AboutDialog.h"
#include "AdvancedSettingsPage.h"
#include "CardPropertiesPage.h"
#include "CertificateStoreViewer.h"
#include "CertificateTexts.h"
#include "SystemInformationDialog.h"
#include "platform/CardDatabase.h"
#include "CardDataCommands.h"
#include "ContentsPage.h"
#include "PinPage.h"
#include "CloseOrHideDialog.h"
#include "EventLog.h"
#include "TransferAbort.h"
#include "MonitorBridge.h"
#include "PinDialogs.h"
#include "Settings.h"
#include "SettingsPage.h"
#include "TrayController.h"
#include "UiText.h"
#include "WaitCursor.h"

MainWindow::MainWindow(TokenRefMap tokens, QtUserPort& port) : MainWindow(std::move(tokens), port, Options{}) {}

MainWindow::MainWindow(TokenRefMap tokens, QtUserPort& port, Options options)
    : tokens_(std::move(tokens)),
      port_(port),
      options_(std::move(options)),
      session_(tokens_),
      activationPrompts_(port_),
      prompter_(port_, activationPrompts_),
      activation_(prompter_, prompter_, pinPaths_) {
  session_.Keeper().SetOnHeldChanged([this](bool held) { OnHeldChanged(held); });
  setWindowTitle(QApplication::applicationDisplayName());
  setWindowIcon(QIcon(QStringLiteral(":/icon.png")));
  BuildControls();

  const bool ownTray = !options_.tray;
  tray_ = ownTray ? std::make_shared<TrayController>(windowIcon(), this) : std::move(options_.tray);
  tray_->SetWindow(this);
  tray_->SetFallback([this](const BalloonInfo& b) {
    status_->setText(QStringLiteral("<b>%1</b><br>%2").arg(Q(b.title).toHtmlEscaped(),
                                                              Q(b.text).toHtmlEscaped()));
    status_->setVisible(true);
  });
  connect(tray_.get(), &TrayController::showRequested, this, &MainWindow::BringToFront);
  connect(tray_.get(), &TrayController::hideRequested, this, &MainWindow::HideToTray);
  connect(tray_.get(), &TrayController::closeRequested, this, &MainWindow::Destroy);
  connect(tray_.get(), &TrayController::aboutRequested, this, &MainWindow::OpenAbout);
  if (ownTray && options_.addTrayIcon) tray_->Add();
  presenter_ = std::make_unique<BalloonPresenter>(balloons_, *tray_, options_.balloonIntervalMs);
  presenter_->Start();
  port_.SetParent(this);

  store_ = Platform::CertStore::OpenSystem("MY");
  if (!store_) port_.MessageBox(Res::Text(Res::StringId::StoreOpenError), "", Platform::kMbIconError);
  bridge_ = std::make_unique<MonitorBridge>(
      tokens_, [this](const std::string& title, const std::string& text, uint32_t icon) {
        QueueBalloon(title, text, icon);
      });
  TvrServices::HttpOptions registrationHttp = options_.http;
  registrationHttp.abort = registrationAbort_;
  registrar_ = std::make_unique<CertificateRegistrar>(*bridge_, store_.get(), registrationHttp);
  // What a run that was killed left registered goes before detection registers anew.
  registrar_->KeepRecord(CertificateRegistrar::RecordPath(), CertificateRegistrar::EarlierRecordPath());
  monitor_ = std::make_unique<CardMonitor>(*bridge_, *registrar_,
                                           options_.pcsc ? *options_.pcsc : SystemPcsc());
  bridge_->SetMonitor(monitor_.get());
  bridge_->SetActivation([this](PKCS11Base* token, const TokenInfo& info, bool transport) {
    return activation_.Run(token, info, transport);
  });
  connect(bridge_.get(), &MonitorBridge::readerListChanged, this, &MainWindow::OnReaderListChanged,
          Qt::QueuedConnection);
  connect(bridge_.get(), &MonitorBridge::cardStatusChanged, this, &MainWindow::OnCardStatusChanged,
          Qt::QueuedConnection);
  // Armed on the interface thread, whichever thread asked for it.
  restartTimer_.setObjectName(QStringLiteral("timer%1").arg(kRestartDetectionTimerId));
  restartTimer_.setInterval(CardMonitor::kRestartIntervalMs);
  connect(&restartTimer_, &QTimer::timeout, this, &MainWindow::OnRestartTimer);
  connect(bridge_.get(), &MonitorBridge::restartRequested, &restartTimer_, qOverload<>(&QTimer::start),
          Qt::QueuedConnection);

  updateCheckTimer_.setObjectName(QStringLiteral("timer%1").arg(kUpdateCheckTimerId));
  showUpdateTimer_.setObjectName(QStringLiteral("timer%1").arg(kShowUpdateTimerId));
  hideUpdateTimer_.setObjectName(QStringLiteral("timer%1").arg(kHideUpdateTimerId));
  UpdateAnnouncer::Options updateOptions = options_.update;
  updateOptions.http = options_.http;
  updates_ = std::make_unique<UpdateAnnouncer>(updateCheckTimer_, showUpdateTimer_, hideUpdateTimer_,
                                               updateOptions);
  updates_->Start();

  readerList_->setEnabled(false);
  cardList_->setEnabled(false);
  loginButton_->setEnabled(false);
  if (!monitor_->StartCardDetection(true)) restartTimer_.start();
  resize(600, 480);
}

MainWindow::~MainWindow() {
  // Registrations in flight are aborted here, so the tasks end soon; their card goes after.
  StopDetection();
  for (auto& [id, task] : tasks_) task.thread.join();
  // Their holds go without bringing the window's controls back or the waiting notices.
  destroyed_ = true;
  tasks_.clear();
  session_.Close();
  port_.SetParent(nullptr);
  // Nothing of this window talks to a server any more.
  if (ended_) TvrServices::AllowEveryTransfer();
}

void MainWindow::ShowSystemInformation() {
  const Platform::CardDatabase cards = Platform::CardDatabase::Load();
  SystemInfoProbes probes;
  probes.cards = &cards;
  SystemInformationDialog(port_, probes, this).exec();
}

void MainWindow::OpenAbout() {
  TvrServices::UpdateServer server = options_.update.server.value_or(TvrServices::ConfiguredUpdateServer());
  if (!options_.update.server) server.http = options_.http;
  AboutDialog dialog(server);
  dialog.exec();
}

void MainWindow::BuildControls() {
  auto* layout = new QVBoxLayout(this);
  menuBar_ = new QMenuBar(this);
  systemMenu_ = menuBar_->addMenu(T(Res::StringId::SystemMenu));
  const std::pair<Res::StringId, std::function<void()>> commands[] = {
      {Res::StringId::StoreViewerMenu, [this] { CertificateStoreViewer(port_, this).exec(); }},
      {Res::StringId::SystemInfoMenu, [this] { ShowSystemInformation(); }},
  };
  bool any = false;
  for (const auto& [id, run] : commands) {
    if (Res::Text(id).empty()) continue;
    if (!any) systemMenu_->addSeparator();
    any = true;
    connect(systemMenu_->addAction(T(id)), &QAction::triggered, this, run);
  }
  if (!Res::Text(Res::StringId::AboutMenu).empty()) {
    systemMenu_->addSeparator();
    connect(systemMenu_->addAction(T(Res::StringId::AboutMenu)), &QAction::triggered, this,
            &MainWindow::OpenAbout);
  }
  layout->setMenuBar(menuBar_);

  auto* grid = new QGridLayout();
  readerList_ = new QComboBox(this);
  cardList_ = new QComboBox(this);
  loginButton_ = new QPushButton(T(Res::StringId::LoginButton), this);
  grid->addWidget(new QLabel(T(Res::StringId::ReaderListLabel), this), 0, 0);
  grid->addWidget(readerList_, 0, 1);
  grid->addWidget(new QLabel(T(Res::StringId::CardListLabel), this), 1, 0);
  grid->addWidget(cardList_, 1, 1);
  grid->addWidget(loginButton_, 1, 2);
  grid->setColumnStretch(1, 1);
  layout->addLayout(grid);
  connect(readerList_, qOverload<int>(&QComboBox::activated), this, [this] { OnSelchangeReader(); });
  connect(cardList_, qOverload<int>(&QComboBox::activated), this, [this] { ConnectSelectedCard(); });
  connect(loginButton_, &QPushButton::clicked, this, &MainWindow::OnLoginLogout);

  sheet_ = new QTabWidget(this);
  properties_ = new CardPropertiesPage(session_, port_, sheet_);
  sheet_->addTab(properties_, T(Res::StringId::PropertiesPageTitle));
  // The window opens on the first page: the contents, PIN and advanced pages wait, each
  // behind an empty placeholder with its title, until first shown. The settings page is
  // the largest: built now, it gives the window the size it has with every page.
  sheet_->addTab(new QWidget(sheet_), T(Res::StringId::ContentsPageTitle));
  sheet_->addTab(new QWidget(sheet_), T(Res::StringId::PinPageTitle));
  settings_ = new SettingsPage(port_, sheet_);
  sheet_->addTab(settings_, T(Res::StringId::SettingsPageTitle));
  sheet_->addTab(new QWidget(sheet_), T(Res::StringId::AdvancedSettingsPageTitle));
  // A page's activation refills it (the other pages refill themselves when shown).
  connect(sheet_, &QTabWidget::currentChanged, this, [this](int index) {
    EnsurePage(index);
    if (index == kPropertiesPage) properties_->Refill();
  });
  layout->addWidget(sheet_, 1);

  // Where balloons appear when the desktop has no tray.
  status_ = new QLabel(this);
  status_->setWordWrap(true);
  status_->setVisible(false);
  status_->setFrameShape(QFrame::StyledPanel);
  status_->setMargin(4);
  layout->addWidget(status_);
}

void MainWindow::EnsurePage(int index) {
  QWidget* page = nullptr;
  switch (index) {
    case kContentsPage:
      if (contents_) return;
      page = contents_ = new ContentsPage(*this, port_, sheet_);
      new CardDataCommands(*contents_, *this, port_);  // a child of the page
      break;
    case kPinPage:
      if (pins_) return;
      page = pins_ = new PinPage(*this, port_, pinPaths_, sheet_);
      break;
    case kAdvancedSettingsPage: {
      if (advanced_) return;
      std::set<std::string> loaded;
      for (const auto& [key, token] : tokens_)
        if (token) loaded.insert(key);
      page = advanced_ = new AdvancedSettingsPage(loaded, sheet_);
      break;
    }
    default:
      return;
  }
  // The page goes in before its placeholder leaves, so that the current tab never moves
  // to another page in between (a page shown refills itself from the card).
  const QSignalBlocker quiet(sheet_);
  QWidget* placeholder = sheet_->widget(index);
  const bool current = sheet_->currentIndex() == index;
  sheet_->insertTab(index, page, sheet_->tabText(index));
  if (current) sheet_->setCurrentIndex(index);
  sheet_->removeTab(index + 1);
  delete placeholder;
  if (session_.Working()) SetPagesUpdating(true);
}

ContentsPage* MainWindow::Contents() {
  EnsurePage(kContentsPage);
  return contents_;
}

PinPage* MainWindow::Pins() {
  EnsurePage(kPinPage);
  return pins_;
}

AdvancedSettingsPage* MainWindow::AdvancedSettings() {
  EnsurePage(kAdvancedSettingsPage);
  return advanced_;
}

void MainWindow::QueueBalloon(const std::string& title, const std::string& text, uint32_t icon) {
  if (ended_) return;
  balloons_.Queue({title, text, icon});
}

void MainWindow::RunSessionWork(SessionJob work,
                                std::function<void(const std::optional<CardSession::Notice>&)> done,
                                CardHold hold) {
  if (!hold.Holds()) hold = session_.HoldCard();
  busy_ = true;
  SetPagesUpdating(true);
  // Shared by the worker and the follow-up; whichever lets go last frees it.
  std::shared_ptr<CardSession::Work> job = session_.BeginWork();
  auto notice = std::make_shared<std::optional<CardSession::Notice>>();
  StartCardTask(
      std::move(hold), [job, notice, work = std::move(work)] { *notice = work(*job); },
      [this, job, notice, done = std::move(done)] {
        session_.FinishWork(*job);
        busy_ = false;
        SetPagesUpdating(false);
        if (done) done(*notice);
        // Once this work's hold has gone: a waiter takes a hold of its own.
        if (!connectWaiters_.empty())
          QMetaObject::invokeMethod(this, &MainWindow::RunConnectWaiters, Qt::QueuedConnection);
      });
}

void MainWindow::EndSessionWork(const std::optional<CardSession::Notice>& notice) {
  // A window on its way out shows no late box.
  if (destroyed_) return;
  ShowNotice(notice);
  RefreshPropertyPages();
}

void MainWindow::SetPagesUpdating(bool updating) {
  if (contents_) contents_->SetCommandsEnabled(!updating);
  if (pins_) pins_->SetCardUpdating(updating);
}

void MainWindow::RereadCard(std::function<void()> done) {
  // A window on its way out reads nothing more, and the command's follow-up ends there.
  if (destroyed_ || detectionStopped_) return;
  // Another work has the card; its end refreshes the pages.
  if (session_.Working()) {
    if (done) done();
    return;
  }
  RunSessionWork(
      [](CardSession::Work& work) {
        work.ReadCaches();
        return std::optional<CardSession::Notice>();
      },
      [done = std::move(done)](const std::optional<CardSession::Notice>&) {
        if (done) done();
      });
}

void MainWindow::WhenCardConnected(std::function<void()> then) {
  if (destroyed_ || detectionStopped_ || !then) return;
  connectWaiters_.push_back(std::move(then));
  // Never inside the caller: it may be the waiter's own command, still unwinding.
  QMetaObject::invokeMethod(this, &MainWindow::RunConnectWaiters, Qt::QueuedConnection);
}

void MainWindow::RunConnectWaiters() {
  if (destroyed_ || detectionStopped_) {
    connectWaiters_.clear();
    return;
  }
  // A card notice is followed by a refresh of the card list; until it has run, the
  // session's card is not the reader's.
  if (connectWaiters_.empty() || session_.Working() || session_.Keeper().CardLeft() || refreshPending_ ||
      pendingReaders_)
    return;
  std::vector<std::function<void()>> waiters;
  waiters.swap(connectWaiters_);
  for (const std::function<void()>& then : waiters) then();
}

void MainWindow::RunCardTask(std::function<void()> work, std::function<void()> done) {
  StartCardTask(session_.HoldCard(), std::move(work), std::move(done));
}

void MainWindow::RunStoreTask(std::function<void()> work, std::function<void()> done) {
  StartCardTask(CardHold(), std::move(work), std::move(done));
}

void MainWindow::StartCardTask(CardHold hold, std::function<void()> work, std::function<void()> done) {
  const int id = nextTask_++;
  CardTask& task = tasks_[id];
  // Taken and let go here, on the interface thread; the worker only borrows the card.
  task.hold = std::move(hold);
  task.done = std::move(done);
  ++*working_;
  task.thread = std::thread([this, id, work = std::move(work), working = working_] {
    work();
    --*working;
    QMetaObject::invokeMethod(this, [this, id] { FinishCardTask(id); }, Qt::QueuedConnection);
  });
}

void MainWindow::FinishCardTask(int id) {
  const auto task = tasks_.find(id);
  if (task == tasks_.end()) return;
  task->second.thread.join();
  if (ended_) {
    // Its boxes and dialogs would come after the end: the command's follow-up goes.
    LogEvent(EVENTLOG_INFORMATION_TYPE, "A command's follow-up dropped: the program ends.");
    tasks_.erase(id);
    return;
  }
  // The hold stays while `done` asks the user: a card notice meanwhile waits for its end.
  const std::function<void()> done = std::move(task->second.done);
  if (done) done();
  // Letting the hold go applies what waited.
  tasks_.erase(id);
}

std::unique_ptr<TokenInfo> MainWindow::ReadTokenInfo() {
  PKCS11Base* token = session_.Token();
  return token ? token->GetTokenInfo() : nullptr;
}

void MainWindow::OnHeldChanged(bool held) {
  if (held) {
    readerList_->setEnabled(false);
    cardList_->setEnabled(false);
    loginButton_->setEnabled(false);
    return;
  }
  if (destroyed_) return;
  // A refresh that waited comes first: the controls stay off until the card is read
  // again, so that nothing is started on the card the refresh replaces.
  if (refreshPending_ || pendingReaders_) controlsWaiting_ = true;
  else EnableControls();
  // The notices that waited, out of the holder's scope: it may still be unwinding.
  QMetaObject::invokeMethod(this, &MainWindow::RunDeferred, Qt::QueuedConnection);
}

void MainWindow::EnableControls() {
  controlsWaiting_ = false;
  readerList_->setEnabled(readerList_->count() > 0);
  const CardSession::View& view = session_.GetView();
  cardList_->setEnabled(view.cardListEnabled);
  loginButton_->setEnabled(session_.Token() && view.loginEnabled);
}

void MainWindow::ShowCardChanged() {
  ShowNotice(CardSession::Notice{Res::Text(Res::StringId::CardChangedDuringCommand), Platform::kMbIconError});
}

void MainWindow::RunDeferred() {
  // A hold still alive keeps everything waiting; its end runs this again.
  if (Deferring()) return;
  if (pendingReaders_ && !destroyed_ && !detectionStopped_) {
    const QStringList readers = *pendingReaders_;
    pendingReaders_.reset();
    FillReaderCombo(readers);
    refreshPending_ = true;
  }
  if (refreshPending_ && !destroyed_ && !detectionStopped_) {
    refreshPending_ = false;
    RefreshCardList();
  }
  if (controlsWaiting_ && !Deferring() && !destroyed_) EnableControls();
  RunConnectWaiters();
}

void MainWindow::ShowNotice(const std::optional<CardSession::Notice>& notice) {
  // One notice at a time: failures that come while one is open are part of it, never a
  // box nested in its loop.
  if (!notice || noticeOpen_) return;
  noticeOpen_ = true;
  port_.MessageBox(notice->text, "", notice->flags);
  noticeOpen_ = false;
}

void MainWindow::ApplyView() {
  const CardSession::View& view = session_.GetView();
  cardList_->clear();
  for (const CardSession::CardEntry& entry : view.cards) cardList_->addItem(Q(entry.text), entry.slotIndex);
  if (!view.cards.empty()) cardList_->setCurrentIndex(0);
  cardList_->setEnabled(view.cardListEnabled);
  loginButton_->setEnabled(session_.Token() && view.loginEnabled);
  loginButton_->setText(T(session_.IsLoggedIn() ? Res::StringId::LogoutButton : Res::StringId::LoginButton));
}

void MainWindow::FillReaderCombo(const QStringList& readers) {
  readerList_->clear();
  cardList_->clear();
  for (const QString& reader : readers) readerList_->addItem(Q(DisplayText(reader.toStdString())), reader);
  if (!readers.isEmpty()) {
    readerList_->setCurrentIndex(0);
    monitor_->SetCurrentReader(readers.first().toStdString());
    readerList_->setEnabled(true);
  } else {
    readerList_->setEnabled(false);
  }
  cardList_->setEnabled(false);
  loginButton_->setEnabled(false);
}

void MainWindow::OnReaderListChanged(const QStringList& readers) {
  if (destroyed_ || detectionStopped_) return;
  // The monitor has initialised the modules afresh: every session of the card is gone.
  session_.Keeper().NoteCardLeft();
  if (Deferring()) {
    pendingReaders_ = readers;
    refreshPending_ = true;
    return;
  }
  FillReaderCombo(readers);
  RefreshCardList();
}

void MainWindow::OnCardStatusChanged(const QString& reader, const QString& /*cardName*/) {
  if (destroyed_ || detectionStopped_) return;
  // A notice about a reader the user has left since is stale.
  if (reader != readerList_->currentData().toString()) return;
  session_.Keeper().NoteCardLeft();
  RefreshCardList();
}

void MainWindow::OnSelchangeReader() {
  if (Deferring()) return;
  monitor_->SetCurrentReader(readerList_->currentData().toString().toStdString());
  RefreshCardList();
}

void MainWindow::RefreshCardList() {
  if (Deferring()) {
    refreshPending_ = true;
    return;
  }
  cardList_->clear();
  const std::string reader = monitor_->CurrentReader();
  const std::string cardName = monitor_->CardName();
  // Holds taken from now on are on the card connected now; a notice while it connects
  // marks them and brings another refresh.
  session_.Keeper().NoteCardConnected();
  RunSessionWork(
      [reader, cardName](CardSession::Work& work) { return work.RefreshCardList(reader, cardName); },
      [this](const std::optional<CardSession::Notice>& notice) {
        ApplyView();
        EndSessionWork(notice);
      });
}

void MainWindow::ConnectSelectedCard() {
  if (Deferring()) return;
  const uint32_t slotIndex = cardList_->currentData().toUInt();
  const int kept = cardList_->currentIndex();
  const std::string reader = monitor_->CurrentReader();
  RunSessionWork(
      [reader, slotIndex](CardSession::Work& work) { return work.ConnectSelectedCard(reader, slotIndex); },
      [this, kept](const std::optional<CardSession::Notice>& notice) {
        ApplyView();
        cardList_->setCurrentIndex(kept);
        EndSessionWork(notice);
      });
}

void MainWindow::OnLoginLogout() {
  if (Deferring() || !session_.Token()) return;
  // The PIN is for this card: a card that leaves while the dialog is open never gets it.
  CardHold hold = session_.HoldCard();
  SessionJob job;
  if (session_.IsLoggedIn()) {
    job = [](CardSession::Work& work) { return work.Logout(); };
  } else {
    std::optional<CardSession::PinRequest> request = session_.LoginPinRequest();
    if (request) {
      PinDialog dialog(port_, false, Q(request->title), request->minimum, request->maximum, this);
      if (dialog.exec() != QDialog::Accepted || destroyed_) return;
      if (hold.CardLeft()) {
        ShowCardChanged();
        return;
      }
      // The dialog's copy goes with the dialog; this one is wiped when the task lets go.
      auto pin = std::make_shared<TvrCommon::SecureString>(dialog.Value());
      job = [pin](CardSession::Work& work) { return work.Login(pin.get()); };
    } else {
      // The reader's PIN pad or the card's own path takes the PIN.
      job = [](CardSession::Work& work) { return work.Login(nullptr); };
    }
  }
  RunSessionWork(
      std::move(job),
      [this](const std::optional<CardSession::Notice>& notice) {
        loginButton_->setText(T(session_.IsLoggedIn() ? Res::StringId::LogoutButton : Res::StringId::LoginButton));
        EndSessionWork(notice);
      },
      std::move(hold));
}

void MainWindow::RefreshPropertyPages() {
  const int index = sheet_->currentIndex();
  if (index == kPropertiesPage) {
    properties_->Refill();
  } else if (index == kContentsPage && contents_) {
    WaitCursor wait;
    contents_->BuildTree(false);
  } else if (index == kPinPage && pins_) {
    pins_->UpdateButtons();
  }
  if (QWidget* page = sheet_->currentWidget()) page->update();
  sheet_->update();
}

void MainWindow::OnRestartTimer() {
  restartTimer_.stop();
  if (destroyed_ || detectionStopped_) return;
  if (!monitor_->OnRestartTimer()) restartTimer_.start();
}

void MainWindow::BringToFront(bool activate) {
  if (!isVisible()) show();
  if (isMinimized()) showNormal();
  if (activate) {
    raise();
    activateWindow();
    if (QWidget* modal = QApplication::activeModalWidget()) {
      modal->raise();
      modal->activateWindow();
    }
  }
}

void MainWindow::HideToTray() {
  if (tray_->HasTray()) {
    hide();
  } else {
    showMinimized();
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  if (destroyed_) {
    event->accept();
    return;
  }
  CloseOrHideDialog question(this);
  if (question.exec() != QDialog::Accepted) return;
  if (question.GetChoice() == CloseOrHideDialog::Close) {
    // Out of the close event first: destroying the window inside it is not allowed.
    QMetaObject::invokeMethod(this, &MainWindow::Destroy, Qt::QueuedConnection);
  } else if (question.GetChoice() == CloseOrHideDialog::Hide) {
    HideToTray();
    if (Settings::GetInteger(Settings::kShowBallons) != 0 &&
        Settings::GetInteger(Settings::kShowBallonsOnlyFromCertificateRegistration) == 0) {
      QueueBalloon(Res::Text(Res::StringId::HiddenBalloonTitle),
                   Res::Text(Res::StringId::HiddenBalloonText), kBalloonInformation);
    }
  }
}

void MainWindow::StopDetection() {
  restartTimer_.stop();
  if (!monitor_) return;
  detectionStopped_ = true;
  // A PIN question of the monitor thread may be open: answer it, or the join below waits
  // for the user.
  prompter_.CancelPending();
  // Revocation checks in flight end at once (their certificates are let through, then
  // unregistered with the rest), whatever the responders do.
  registrationAbort_->Abort();
  // Cancels the wait; the monitor unregisters every reader's certificates before it ends.
  monitor_->Shutdown();
}

void MainWindow::End(const std::string& why, bool displayGone) {
  if (ended_) return;
  ended_ = true;
  destroyed_ = true;
  detectionStopped_ = true;
  // A new start no longer asks this one to show itself: it waits for its end.
  if (onEnding_) onEnding_();
  LogEvent(EVENTLOG_INFORMATION_TYPE, why);
  const auto grace = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEndGraceMs);
  // Out of sight at once, dialogs included (their loops end when control comes back).
  if (!displayGone) {
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (widget->isVisible() && widget != this) widget->hide();
    hide();
  }
  // No transfer of any kind goes on: registrations' revocation checks, the update check,
  // the renewal search and its issuer downloads, the About dialog's fetch.
  registrationAbort_->Abort();
  TvrServices::AbortEveryTransfer();
  // Whatever a running command does next shows nothing.
  port_.SetEnded();
  prompter_.CancelPending();
  lateWindows_ = std::make_unique<LateWindowGuard>();
  restartTimer_.stop();
  updateCheckTimer_.stop();
  showUpdateTimer_.stop();
  hideUpdateTimer_.stop();
  // The certificates leave the store whatever the card, the module or PC/SC do.
  registrar_->EndAll();
  monitor_->RequestStop();
  // The other threads get a moment to finish what they write; one inside a module or
  // PC/SC is left where it is.
  const auto left = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(grace - std::chrono::steady_clock::now());
  };
  if (left().count() > 0) monitor_->WaitStopped(left());
  while (left().count() > 0 && (*working_ > 0 || !registrar_->Quiet()))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // Balloons would outlive the icon; none is queued from now on.
  presenter_->DropAll();
  if (!displayGone) tray_->Remove();
  if (onDestroyed_) onDestroyed_();
}

void MainWindow::Destroy() { End("The window was closed: the program ends."); }

void MainWindow::CleanUpBeforeExit() { End("The display is gone: the program ends.", true); }

void MainWindow::EndSessionCleanup() { End("The session is actually ending."); }
