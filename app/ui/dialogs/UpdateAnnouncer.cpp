#include "UpdateAnnouncer.h"

#include "UiText.h"
#include "VersionProbes.h"

UpdateAnnouncer::UpdateAnnouncer(QTimer& check, QTimer& show, QTimer& hide, Options options, QObject* parent)
    : QObject(parent), check_(check), show_(show), hide_(hide), options_(std::move(options)) {
  show_.setSingleShot(true);
  hide_.setSingleShot(true);
  connect(&check_, &QTimer::timeout, this, &UpdateAnnouncer::OnCheckTimer);
  connect(&show_, &QTimer::timeout, this, &UpdateAnnouncer::OnShowTimer);
  connect(&hide_, &QTimer::timeout, this, &UpdateAnnouncer::OnHideTimer);
}

UpdatePopup* UpdateAnnouncer::Popup() {
  if (popup_) return popup_.get();
  popup_ = std::make_unique<UpdatePopup>(nullptr, options_.stepMs);
  connect(popup_.get(), &UpdatePopup::slideOutFinished, this, &UpdateAnnouncer::OnSlideOutFinished);
  // The display time runs from the start of the slide-in; hovering pauses it and
  // leaving starts it afresh.
  connect(popup_.get(), &UpdatePopup::hoverStarted, &hide_, &QTimer::stop);
  connect(popup_.get(), &UpdatePopup::hoverEnded, this, [this] { hide_.start(options_.hideDelayMs); });
  connect(popup_.get(), &UpdatePopup::closeClicked, this, [this] { hide_.start(options_.closeDelayMs); });
  return popup_.get();
}

UpdateAnnouncer::~UpdateAnnouncer() {
  JoinWorker();
  check_.stop();
  show_.stop();
  hide_.stop();
}

void UpdateAnnouncer::JoinWorker() {
  if (worker_.joinable()) worker_.join();
}

void UpdateAnnouncer::Start() { check_.start(options_.firstCheckMs); }

void UpdateAnnouncer::OnCheckTimer() {
  check_.start(options_.dailyMs);
  if (checkRunning_) return;  // yesterday's check still waits for the server
  JoinWorker();
  TvrServices::UpdateServer server;
  if (options_.server) {
    server = *options_.server;
  } else {
    server = TvrServices::ConfiguredUpdateServer();
    server.http = options_.http;
  }
  auto installed = options_.installed;
  std::string own = options_.ownVersion.empty() ? TvrServices::GetOwnFileVersion() : options_.ownVersion;
  checkRunning_ = true;
  worker_ = std::thread([this, server, installed, own] {
    bool any = TvrServices::RunUpdateCheck(server, pending_,
                                           installed ? installed() : TvrServices::InstalledMiddleware(), own);
    // The result is handled on the interface thread; dropped when this object is gone.
    QMetaObject::invokeMethod(this, [this, any] { OnCheckDone(any); }, Qt::QueuedConnection);
  });
}

void UpdateAnnouncer::OnCheckDone(bool any) {
  JoinWorker();
  checkRunning_ = false;
  // While announcements are being shown the cycle goes on to the new ones by itself.
  if (any && !cycleRunning_ && !show_.isActive()) show_.start(options_.showDelayMs);
  emit checkFinished(any);
}

void UpdateAnnouncer::OnShowTimer() {
  show_.stop();
  std::optional<TvrServices::PendingUpdate> first = pending_.First();
  if (!first) {
    cycleRunning_ = false;
    return;
  }
  cycleRunning_ = true;
  Popup()->SetAnnouncement(Q(TvrServices::UpdateAnnouncementText(*first)), first->downloadUrl);
  hide_.start(options_.hideDelayMs);
  Popup()->SlideIn();
}

void UpdateAnnouncer::OnHideTimer() {
  hide_.stop();
  Popup()->SlideOut();
}

void UpdateAnnouncer::OnSlideOutFinished() {
  if (pending_.PopFirst()) show_.start(options_.showDelayMs);
  else cycleRunning_ = false;
}
