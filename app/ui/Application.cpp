#include "Application.h"

#include <QApplication>
#include <QDBusConnection>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QIcon>
#include <QImage>
#include <QLibraryInfo>
#include <QLocale>
#include <QThread>
#include <QTimer>

#include <openssl/err.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

#include "CardKeys.h"
#include "CryptoAlgJanitor.h"
#include "EventLog.h"
#include "Language.h"
#include "ProcessProbe.h"
#include "RegistrationWarmUp.h"
#include "Settings.h"
#include "SplashDialog.h"
#include "TrayController.h"
#include "UiText.h"
#include "WaitingDialog.h"
#include "platform/EventLog.h"
#include "platform/PcscDeadline.h"

void InitProgramResources() { Q_INIT_RESOURCE(kelmardin); }

namespace {

int gSignalPipe[2] = {-1, -1};
// Posted by the signal handler (sem_post is safe there); the watchdog waits for it.
sem_t gWatchdogWake;
// What the watchdog takes out of the store when the interface thread never gets to it;
// cleared before the window goes.
std::mutex gWatchdogLock;
CertificateRegistrar* gWatchdogRegistrar = nullptr;
Application* gProgram = nullptr;
QtMessageHandler gPreviousMessageHandler = nullptr;
// Start-up reads it between its steps: before the event loop runs, nothing reads the pipe.
std::atomic<bool> gTerminationRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnTerminationSignal(int) {
  gTerminationRequested = true;
  // A PC/SC service that does not answer must not hold up the end.
  Platform::AbandonPcscWaits();
  sem_post(&gWatchdogWake);
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &byte, 1);
}

// Qt's X11 plugin writes this warning on the interface thread when the connection to the
// display breaks (the usual end of an X11 session), then calls exit(1): the handler is
// the last place where the program still runs whole.
void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtWarningMsg && message.startsWith(QLatin1String("The X11 connection broke")) && gProgram &&
      QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread()) {
    gProgram->OnDisplayLost();
  }
  if (gPreviousMessageHandler) gPreviousMessageHandler(type, context, message);
}

}  // namespace

Application::Application(IServiceControl* services) : Application(services, Options{}) {}

Application::Application(IServiceControl* services, Options options)
    : services_(services), options_(options) {
  if (!services_) {
    ownServices_ = std::make_unique<SystemServiceControl>();
    services_ = ownServices_.get();
  }
  InitProgramResources();
}

Application::~Application() {
  Exit();
  if (gProgram == this) {
    gProgram = nullptr;
    qInstallMessageHandler(gPreviousMessageHandler);
  }
}

void Application::SetUpLanguage() {
  const std::string language = ResolveLanguage(port_);
  bool english = false;
  if (WantsEnglishResources(language)) english = Res::LoadEnglishResources();
  // Qt's own button texts follow the program's language.
  if (!english && qtTranslator_.load(QStringLiteral("qtbase_hu"),
                                     QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    translatorInstalled_ = QCoreApplication::installTranslator(&qtTranslator_);
  }
  // The display name, not the application name: that one names the profile.
  QApplication::setApplicationDisplayName(T(Res::kString182));
}

EarlyStartChecks::Answers Application::AwaitEarlyChecks() {
  EarlyStartChecks& early = *options_.early;
  // Wakes the loop below.
  early.WhenDone([this] { QMetaObject::invokeMethod(this, [] {}, Qt::QueuedConnection); });
  while (!early.Done()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (Terminating()) early.Cancel();
  }
  early.WhenDone(nullptr);
  return early.Get();
}

bool Application::WaitWhileCertificateManagerRuns() {
  bool runs = options_.early ? AwaitEarlyChecks().certificateManagerRuns
                             : IsProcessRunning(kCertificateManagerProcess);
  while (runs) {
    prompted_ = true;
    const int answer = port_.MessageBox(Res::Text(Res::StringId::CloseCertificateManager), "",
                                        Platform::kMbOkCancel);
    if (answer != Platform::kIdOk) return false;
    runs = IsProcessRunning(kCertificateManagerProcess);
  }
  return true;
}

void Application::BeginWarmUp() {
  if (warmUp_.joinable()) return;
  warmUp_ = std::thread([this] {
    QDBusConnection::sessionBus();
    QFontDatabase::families();
    QImage(QStringLiteral(":/icon.png"));
    // The registration road's share waits for start-up: it would only compete with it.
    std::unique_lock<std::mutex> guard(warmUpLock_);
    warmUpGate_.wait(guard, [this] { return warmUpRuns_.has_value(); });
    if (!*warmUpRuns_) return;
    guard.unlock();
    TvrServices::WarmUpRegistrationRoad([this] {
      std::lock_guard<std::mutex> lock(warmUpLock_);
      return !*warmUpRuns_;
    });
  });
}

void Application::ReleaseWarmUp(bool runs) {
  {
    std::lock_guard<std::mutex> guard(warmUpLock_);
    // The end stops a warm-up that runs; start-up ending after the end changes nothing.
    if (warmUpRuns_ && (runs || !*warmUpRuns_)) return;
    warmUpRuns_ = runs;
  }
  warmUpGate_.notify_all();
}

void Application::PrepareWindowText() {
  // The font's face and glyphs are cached per thread: only this thread can load them for
  // the window, and it would otherwise do so while building it.
  QFontMetrics(QApplication::font())
      .boundingRect(QApplication::applicationDisplayName() +
                    QString::fromUtf8(" 0123456789 ÁÉÍÓÖŐÚÜŰ áéíóöőúüű abcdefghijklmnopqrstuvwxyz:.,-()"));
}

bool Application::Terminating() const { return terminating_ || gTerminationRequested; }

void Application::WaitForService(const std::string& name) {
  const ServiceWaitParams* params = FindServiceWaitParams(name);
  if (!params || Terminating()) return;
  CancellableSleeper sleeper;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    RunServiceWait(*params, *services_, sleeper.AsSleeper());
    done.store(true);
  });
  {
    WaitingDialog dialog(T(params->dialogText), [&] { return done.load(); });
    dialog.exec();
  }
  sleeper.Cancel();
  worker.join();
}

uint32_t Application::QueryService(const std::string& name) {
  // A service that takes the connection and does not answer holds the query for a few
  // seconds: meanwhile the event loop runs, so that SIGTERM is seen.
  CancellableSleeper sleeper;
  uint32_t s = kServiceUnknown;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    s = WaitForServiceRunning(*services_, name, sleeper.AsSleeper());
    done = true;
    QMetaObject::invokeMethod(this, [] {}, Qt::QueuedConnection);  // wakes the loop below
  });
  while (!done) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (Terminating()) sleeper.Cancel();
  }
  worker.join();
  return s;
}

void Application::AwaitWork(const std::function<bool()>& finished, std::chrono::steady_clock::time_point until) {
  // The timer wakes the loop at the deadline; the worker wakes it when it is done.
  QTimer deadline;
  deadline.setSingleShot(true);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
  deadline.start(std::max<qint64>(0, left.count()));
  while (!finished() && !Terminating() && std::chrono::steady_clock::now() < until)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void Application::CheckSmartCardService() {
  // The early answer stands unless the user was kept waiting since.
  uint32_t s = options_.early && !prompted_ ? AwaitEarlyChecks().smartCardService : QueryService("SCardSvr");
  if (s != kServiceRunning && options_.waitForServices) {
    WaitForService("SCardSvr");
    s = QueryService("SCardSvr");
  }
  if (s == kServiceRunning) LogEvent(EVENTLOG_INFORMATION_TYPE, "SCardSvr is running");
  else if (s == kServiceNotRunning) LogEvent(EVENTLOG_ERROR_TYPE, "SCardSvr is not running");
  else LogEvent(EVENTLOG_WARNING_TYPE, "SCardSvr has unknown running status");
}

void Application::CheckGemaltoService() {
  if (IsServiceInstalled(*services_, "GslShmSrvc") == 1) return;
  uint32_t s = QueryService("GslShmSrvc");
  if (s != kServiceRunning && options_.waitForServices) {
    WaitForService("GslShmSrvc");
    s = QueryService("GslShmSrvc");
  }
  if (s == kServiceRunning) {
    LogEvent(EVENTLOG_INFORMATION_TYPE, "GslShmSrvc is running");
  } else if (s == kServiceNotRunning) {
    LogEvent(EVENTLOG_ERROR_TYPE, "GslShmSrvc is not running");
    port_.MessageBox(Res::Text(Res::StringId::GemaltoServiceNotRunning), "", Platform::kMbOk);
  } else {
    LogEvent(EVENTLOG_WARNING_TYPE, "GslShmSrvc has unknown running status");
  }
}

int Application::Start(const QStringList& arguments) {
  BeginWarmUp();
  port_.InstallAsPlatformHandler();
  SetUpLanguage();
  Platform::RegisterEventSource();
  if (!WaitWhileCertificateManagerRuns()) return 0;

  instance_ = std::make_unique<SingleInstance>();
  switch (instance_->Acquire()) {
    case SingleInstance::Result::First: break;
    case SingleInstance::Result::AnotherRuns: return 0;
    case SingleInstance::Result::Failed: {
      // The system's own text, then which folder and what is wrong with it.
      std::string text = Res::Text(Res::StringId::StartupError);
      if (!instance_->FailureText().isEmpty()) text += "\n\n" + instance_->FailureText().toStdString();
      port_.MessageBox(text, "", Platform::kMbOk);
      return 1;
    }
  }
  connect(instance_.get(), &SingleInstance::activationRequested, this, [this] {
    if (window_) window_->BringToFront(true);
    else pendingActivation_ = true;
  });

  if (Terminating()) return 0;
  const bool toTray = arguments.join(' ').contains(QLatin1String(kSystemTraySwitch));
  // Started into the tray, the icon is all the user sees of the start: it comes now, not
  // after the service check, the modules and the window. Its commands do nothing until
  // the window takes it over.
  std::shared_ptr<TrayController> tray;
  if (toTray) {
    tray = std::make_shared<TrayController>(QIcon(QStringLiteral(":/icon.png")), nullptr);
    tray->Add();
  }
  CheckSmartCardService();
  if (Terminating()) return 0;
  openssl_ = std::make_unique<TvrCrypto::CryptoAlgJanitor>();
  RegisterCardKeyExIndex();
  // The modules start on workers (a module that waits for a silent smart-card service
  // must not hold the interface thread); their questions come here.
  VendorLoadOptions load;
  load.beforeRow = [this](const VendorModuleEntry& row) {
    if (std::string(row.typeKey) == "Gemalto" && !Terminating()) CheckGemaltoService();
  };
  load.wait = [this, firstWait = true](const std::function<bool()>& finished,
                                      std::chrono::steady_clock::time_point until) mutable {
    if (firstWait) PrepareWindowText();
    firstWait = false;
    AwaitWork(finished, until);
  };
  load.wake = [this] { QMetaObject::invokeMethod(this, [] {}, Qt::QueuedConnection); };
  load.ending = [this] { return Terminating(); };
  tokens_ = LoadVendorTokens(port_, load);

  if (Terminating()) return 0;
  if (Settings::GetInteger(Settings::kShowSplashScreen) != 0) {
    SplashDialog splash;
    splash.exec();
  }
  if (Terminating()) return 0;

  MainWindow::Options windowOptions;
  windowOptions.balloonIntervalMs = options_.balloonIntervalMs;
  windowOptions.pcsc = options_.pcsc;
  windowOptions.tray = std::move(tray);
  // A window that opens adds its icon once it is shown.
  windowOptions.addTrayIcon = toTray;
  window_ = std::make_unique<MainWindow>(RefsOf(tokens_), port_, std::move(windowOptions));
  window_->SetOnDestroyed([this] { Leave(); });
  // A start made from now on waits for this one's lock instead of asking it to show
  // itself; the lock goes once the certificates are out of the store.
  window_->SetOnEnding([this] { instance_->StopListening(); });
  {
    std::lock_guard<std::mutex> guard(gWatchdogLock);
    gWatchdogRegistrar = &window_->Registrar();
  }
  connect(qApp, &QGuiApplication::commitDataRequest, this, [this] { OnSaveRequest(); });
  qApp->installEventFilter(this);

  // Without a tray a hidden window could not be reached again.
  if (!toTray || !window_->Tray().HasTray() || pendingActivation_) window_->show();
  // The window goes to the display first; the icon follows on the event loop's first turn.
  if (!toTray) {
    QTimer::singleShot(0, window_.get(), [window = window_.get()] {
      if (!window->Ended()) window->Tray().Add();
    });
  }
  // Once the event loop has shown the window (or the tray icon) and gone quiet.
  QTimer::singleShot(kWarmUpDelayMs, this, [this] { ReleaseWarmUp(true); });
  return -1;
}

void Application::Leave() {
  windowDestroyed_ = true;
  if (options_.exitAtEnd) {
    // Threads may still be inside a module or PC/SC: none is joined, no module is
    // finalised, no destructor runs.
    if (instance_) instance_->Release();
    Platform::DeregisterEventSource();
    std::fflush(nullptr);
    ::_exit(0);
  }
  QCoreApplication::quit();
}

void Application::OnSaveRequest() {
  // Asked before a logout that may still be cancelled, and at plain checkpoints: the
  // program goes on working. The real end comes as the quit request or SIGTERM.
  LogEvent(EVENTLOG_INFORMATION_TYPE, "The desktop asks to save the session.");
}

void Application::EndSession() {
  if (window_) window_->EndSessionCleanup();
  // OpenSSL 3 keeps no per-thread tables to release; its error queue is all that is left.
  ERR_clear_error();
}

void Application::OnDisplayLost() {
  if (exited_ || displayLost_) return;
  displayLost_ = true;
  if (window_) window_->CleanUpBeforeExit();
  ERR_clear_error();
}

bool Application::eventFilter(QObject* watched, QEvent* event) {
  // Our own quit comes after the window was destroyed and passes.
  if (watched == qApp && event->type() == QEvent::Quit && window_ && !windowDestroyed_ && !exited_) {
    EndSession();
    QCoreApplication::exit(0);
    return true;
  }
  return QObject::eventFilter(watched, event);
}

void Application::InstallSignalHandlers() {
  if (!gProgram) {
    gProgram = this;
    gPreviousMessageHandler = qInstallMessageHandler(OnQtMessage);
  }
  if (gSignalPipe[0] >= 0) return;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0) return;
  signalNotifier_ = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
  connect(signalNotifier_.get(), &QSocketNotifier::activated, this, [this] {
    char byte;
    [[maybe_unused]] ssize_t n = ::read(gSignalPipe[0], &byte, 1);
    terminating_ = true;
    if (instance_ && !window_) instance_->StopListening();
    EndSession();
    // Ends every running event loop, a start-up dialog's included.
    QCoreApplication::exit(0);
  });
  // Whatever holds up the interface thread (a card, a module, PC/SC), the signal ends the
  // program: the certificates leave the store as file work, and the process goes.
  if (options_.exitAtEnd && sem_init(&gWatchdogWake, 0, 0) == 0) {
    std::thread([] {
      while (sem_wait(&gWatchdogWake) != 0) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(kWatchdogMs));
      {
        std::lock_guard<std::mutex> guard(gWatchdogLock);
        if (gWatchdogRegistrar) gWatchdogRegistrar->EndAll();
      }
      LogEvent(EVENTLOG_WARNING_TYPE, "The program did not end in time after the signal: it leaves now.");
      ::_exit(0);
    }).detach();
  }
  struct sigaction action{};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  // Started with SIGHUP ignored (nohup), the program is meant to outlive its terminal.
  struct sigaction hangup{};
  if (::sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN)
    ::sigaction(SIGHUP, &action, nullptr);
}

void Application::Exit() {
  if (exited_) return;
  exited_ = true;
  if (options_.early) options_.early->WhenDone(nullptr);
  {
    std::lock_guard<std::mutex> guard(gWatchdogLock);
    gWatchdogRegistrar = nullptr;
  }
  // A warm-up step under way is short (a decode, a library load); none begins after this.
  ReleaseWarmUp(false);
  window_.reset();
  if (warmUp_.joinable()) warmUp_.join();
  tokens_.clear();
  if (instance_) instance_->Release();
  Platform::DeregisterEventSource();
  if (translatorInstalled_) QCoreApplication::removeTranslator(&qtTranslator_);
  Res::UnloadEnglishResources();
  openssl_.reset();
  ERR_clear_error();
  Platform::SetMessageBoxHandler(nullptr);
}
