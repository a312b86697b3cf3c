#include "BalloonPresenter.h"

#include <QEventLoop>

#include <algorithm>

BalloonPresenter::BalloonPresenter(BalloonQueue& queue, IBalloonSink& sink, int intervalMs,
                                   QObject* parent)
    : QObject(parent), queue_(queue), sink_(sink) {
  timer_.setObjectName(QStringLiteral("balloonTimer%1").arg(kBalloonTimerId));
  timer_.setInterval(intervalMs);
  connect(&timer_, &QTimer::timeout, this, &BalloonPresenter::ShowNext);
  // From any thread: the presenter looks when told, on its own thread.
  queue_.SetOnFirstQueued(
      [this] { QMetaObject::invokeMethod(this, &BalloonPresenter::OnFirstQueued, Qt::QueuedConnection); });
}

BalloonPresenter::~BalloonPresenter() { queue_.SetOnFirstQueued(nullptr); }

void BalloonPresenter::Start() {
  started_ = true;
  OnFirstQueued();
}

void BalloonPresenter::Stop() {
  started_ = false;
  timer_.stop();
}

void BalloonPresenter::OnFirstQueued() {
  // A running timer shows it on its next tick; a stopped one last ticked an interval or
  // more ago, so the balloon may go up now.
  if (started_ && !timer_.isActive()) ShowNext();
}

void BalloonPresenter::ShowNext() {
  auto balloon = queue_.TakeFirst();
  if (!balloon) {
    timer_.stop();
    return;
  }
  sink_.ShowBalloon(*balloon);
  if (started_ && !timer_.isActive()) timer_.start();
}

void BalloonPresenter::DrainRecent(std::chrono::milliseconds age, std::chrono::milliseconds budget) {
  Stop();
  std::vector<BalloonInfo> recent = queue_.TakeRecent(age);
  const std::chrono::milliseconds interval(timer_.interval());
  const size_t fit = static_cast<size_t>(std::max<int64_t>(1, (budget.count() + interval.count() - 1) /
                                                                  std::max<int64_t>(1, interval.count())));
  if (recent.size() > fit) recent.erase(recent.begin(), recent.end() - static_cast<std::ptrdiff_t>(fit));
  std::chrono::milliseconds left = budget;
  for (const BalloonInfo& balloon : recent) {
    sink_.ShowBalloon(balloon);
    const std::chrono::milliseconds wait = std::min(interval, left);
    left -= wait;
    QEventLoop loop;
    QTimer::singleShot(wait, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
  }
}

void BalloonPresenter::DropAll() {
  Stop();
  queue_.Clear();
}
