#include "MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMetaObject>
#include <QVBoxLayout>

#include "CloseOrHideDialog.h"
#include "EventLog.h"
#include "Settings.h"
#include "SettingsPage.h"
#include "TrayController.h"
#include "UiText.h"

MainWindow::MainWindow(TokenRefMap tokens, QtUserPort& port, int balloonIntervalMs)
    : tokens_(std::move(tokens)), port_(port) {
  setWindowTitle(QApplication::applicationDisplayName());
  setWindowIcon(QIcon(QStringLiteral(":/icon.png")));
  auto* layout = new QVBoxLayout(this);
  sheet_ = new QTabWidget(this);
  settings_ = new SettingsPage(port_, sheet_);
  sheet_->addTab(settings_, T(Res::StringId::SettingsPageTitle));
  layout->addWidget(sheet_, 1);
  // Where balloons appear when the desktop has no tray.
  status_ = new QLabel(this);
  status_->setWordWrap(true);
  status_->setVisible(false);
  status_->setFrameShape(QFrame::StyledPanel);
  status_->setMargin(4);
  layout->addWidget(status_);

  tray_ = std::make_unique<TrayController>(windowIcon(), this);
  tray_->SetFallback([this](const BalloonInfo& b) {
    status_->setText(QStringLiteral("<b>%1</b><br>%2").arg(Q(b.title).toHtmlEscaped(),
                                                              Q(b.text).toHtmlEscaped()));
    status_->setVisible(true);
  });
  connect(tray_.get(), &TrayController::showRequested, this, &MainWindow::BringToFront);
  connect(tray_.get(), &TrayController::hideRequested, this, &MainWindow::HideToTray);
  connect(tray_.get(), &TrayController::closeRequested, this, &MainWindow::Destroy);
  tray_->Add();
  presenter_ = std::make_unique<BalloonPresenter>(balloons_, *tray_, balloonIntervalMs);
  presenter_->Start();
  port_.SetParent(this);
  resize(560, 420);
}

MainWindow::~MainWindow() { port_.SetParent(nullptr); }

void MainWindow::QueueBalloon(const std::string& title, const std::string& text, uint32_t icon) {
  balloons_.Queue({title, text, icon});
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

void MainWindow::Destroy() {
  if (destroyed_) return;
  destroyed_ = true;
  // Balloons only make sense where they can be seen.
  if (tray_->HasTray()) {
    presenter_->DrainAll();
  } else {
    presenter_->DropAll();
  }
  tray_->Remove();
  hide();
  if (onDestroyed_) onDestroyed_();
}

void MainWindow::EndSessionCleanup() {
  LogEvent(EVENTLOG_INFORMATION_TYPE, "The session is actually ending.");
  presenter_->DropAll();
}
