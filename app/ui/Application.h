// The program's start-up and release: profile and language, event source, the maker's
// certificate manager, single instance, service waits, OpenSSL, vendor modules, splash,
// main window; and the clean-up however the program ends: the end of the desktop session
// (the session manager's "save yourself" and "die"), SIGTERM, SIGINT, SIGHUP, and the loss
// of the display.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QStringList>
#include <QTranslator>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "EarlyStartChecks.h"
#include "MainWindow.h"
#include "QtUserPort.h"
#include "ServiceWait.h"
#include "SingleInstance.h"
#include "VendorTokens.h"

namespace TvrCrypto {
class CryptoAlgJanitor;
}

class Application : public QObject {
  Q_OBJECT
 public:
  struct Options {
    bool waitForServices = true;  // the benchmark measures start-up without them
    int balloonIntervalMs = BalloonPresenter::kBalloonIntervalMs;
    IPcsc* pcsc = nullptr;  // the system's PC/SC when null
    // Checks begun before Qt started (their first answers are taken from there); none:
    // everything is asked when it is needed.
    EarlyStartChecks* early = nullptr;
    // The end leaves the process at once (the program itself): nothing that a card, a
    // module, PC/SC or a server holds up is waited for. Otherwise the event loop is asked
    // to end (tests, which run on after it).
    bool exitAtEnd = false;
  };
  // After a termination signal the program is gone within this, whatever holds up the
  // interface thread: a watchdog then takes the certificates out and ends the process.
  static constexpr int kWatchdogMs = 2500;
  // The first card insertion's road is readied this long after start-up ended.
  static constexpr int kWarmUpDelayMs = 200;
  // The maker's certificate manager, looked for by its process name.
  static constexpr const char* kCertificateManagerProcess = "TvrCertificateManager";
  static constexpr const char* kSystemTraySwitch = "/system_tray";

  explicit Application(IServiceControl* services = nullptr);
  Application(IServiceControl* services, Options options);
  ~Application() override;

  // Start-up. -1: the program runs (enter the event loop); otherwise the process's exit
  // code (0 for a second instance, a cancel, or ...).
  int Start(const QStringList& arguments);
  // Release, in start-up's reverse order; safe to call more than once.
  void Exit();

  MainWindow* Window() { return window_.get(); }
  const TokenMap& Tokens() const { return tokens_; }
  QtUserPort& Port() { return port_; }
  // The end-of-session clean-up when the program really ends (the desktop's quit request,
  // SIGTERM).
  void EndSession();
  // The desktop's request to save (before a logout, or a checkpoint): nothing ends.
  void OnSaveRequest();

  // SIGTERM, SIGINT and SIGHUP (unless the program was started with SIGHUP ignored) end
  // the program through the event loop; the loss of the display runs the clean-up at once,
  // as Qt ends the process right after. Installed once.
  void InstallSignalHandlers();
  // The display connection broke: Qt calls exit(1) next.
  void OnDisplayLost();

 protected:
  // The platform's request to quit (the session manager's "die") ends the program like
  // the end of the session, with no close-or-hide question.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void SetUpLanguage();
  bool WaitWhileCertificateManagerRuns();
  // The early checks' answers, waited for with the event loop running (SIGTERM is seen).
  EarlyStartChecks::Answers AwaitEarlyChecks();
  // What Qt would otherwise load on the interface thread when the window is built: the
  // session bus connection (the global menu and the tray ask it), the font database, the
  // image readers. A worker begins it while start-up does its own work; once the program
  // runs, the same worker readies the first card insertion's road (RegistrationWarmUp.h).
  void BeginWarmUp();
  // Start-up ended (`runs`: the program runs) or the end came: the warm-up goes on or stops.
  void ReleaseWarmUp(bool runs);
  // While the interface thread waits for the first vendor module: the text work that the
  // window's first build would do (the font's face and glyphs).
  void PrepareWindowText();
  void WaitForService(const std::string& name);
  // WaitForServiceRunning on a worker.
  uint32_t QueryService(const std::string& name);
  // Runs the event loop (SIGTERM is seen) until `finished`, the deadline or the end.
  void AwaitWork(const std::function<bool()>& finished, std::chrono::steady_clock::time_point until);
  void CheckSmartCardService();
  void CheckGemaltoService();
  // SIGTERM or SIGINT arrived, whether the event loop has seen it yet or not.
  bool Terminating() const;
  // The end is done: the process leaves.
  void Leave();

  IServiceControl* services_;
  std::unique_ptr<IServiceControl> ownServices_;
  Options options_;
  QtUserPort port_;
  QTranslator qtTranslator_;
  bool translatorInstalled_ = false;
  std::unique_ptr<SingleInstance> instance_;
  std::unique_ptr<TvrCrypto::CryptoAlgJanitor> openssl_;
  TokenMap tokens_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<QSocketNotifier> signalNotifier_;
  bool pendingActivation_ = false;
  bool exited_ = false;
  bool terminating_ = false;  // SIGTERM, SIGINT or SIGHUP arrived
  bool windowDestroyed_ = false;  // the program ends by its own choice
  bool displayLost_ = false;
  // A question was put to the user: the early answers may be stale.
  bool prompted_ = false;
  std::thread warmUp_;
  std::mutex warmUpLock_;
  std::condition_variable warmUpGate_;
  std::optional<bool> warmUpRuns_;  // set once, by the end of start-up or by the end
};

// Makes the program's images available (they live in a static library).
void InitProgramResources();
