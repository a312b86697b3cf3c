#include "BalloonPresenter.h"

#include <QEventLoop>

BalloonPresenter::BalloonPresenter(BalloonQueue& queue, IBalloonSink& sink, int intervalMs,
                                   QObject* parent)
    : QObject(parent), queue_(queue), sink_(sink) {
  timer_.setObjectName(QStringLiteral("balloonTimer%1").arg(kBalloonTimerId));
  timer_.setInterval(intervalMs);
  connect(&timer_, &QTimer::timeout, this, &BalloonPresenter::ShowNext);
}

void BalloonPresenter::Start() { timer_.start(); }
void BalloonPresenter::Stop() { timer_.stop(); }

void BalloonPresenter::ShowNext() {
  if (auto balloon = queue_.TakeFirst()) sink_.ShowBalloon(*balloon);
}

void BalloonPresenter::DrainAll() {
  timer_.stop();
  while (auto balloon = queue_.TakeFirst()) {
    sink_.ShowBalloon(*balloon);
    QEventLoop wait;
    QTimer::singleShot(timer_.interval(), &wait, &QEventLoop::quit);
    wait.exec(QEventLoop::ExcludeUserInputEvents);
  }
}

void BalloonPresenter::DropAll() {
  timer_.stop();
  queue_.Clear();
}
