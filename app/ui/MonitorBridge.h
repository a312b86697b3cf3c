// The card monitor's host in the program: balloons go to the main window's queue, and the
// monitor's notices reach the interface thread as queued signals carrying their data.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

#include "CardMonitor.h"
#include "MonitorHost.h"
#include "VendorTokens.h"

class MonitorBridge : public QObject, public IMonitorHost {
  Q_OBJECT
 public:
  using BalloonFn = std::function<void(const std::string&, const std::string&, uint32_t)>;
  using ActivationFn = std::function<bool(PKCS11Base*, const TokenInfo&, bool)>;

  MonitorBridge(TokenRefMap tokens, BalloonFn balloons)
      : tokens_(std::move(tokens)), balloons_(std::move(balloons)) {}
  // The monitor whose reader list and card name the notices carry; set once.
  void SetMonitor(CardMonitor* monitor) { monitor_ = monitor; }
  // The PIN activation of cards in transport state; none leaves them as they are.
  void SetActivation(ActivationFn activation) { activation_ = std::move(activation); }

  void QueueBalloon(const std::string& title, const std::string& text, uint32_t icon) override {
    balloons_(title, text, icon);
  }
  void PostCardChanged() override {
    emit cardStatusChanged(QString::fromStdString(monitor_->CurrentReader()),
                           QString::fromStdString(monitor_->CardName()));
  }
  void PostReadersChanged() override {
    QStringList readers;
    for (const std::string& name : monitor_->GetReaderNames()) readers << QString::fromStdString(name);
    emit readerListChanged(readers);
  }
  void ArmRestartTimer() override { emit restartRequested(); }
  std::map<std::string, PKCS11Base*> Tokens() override { return tokens_; }
  bool TransportPinActivation(PKCS11Base* token, const TokenInfo& info, bool transport) override {
    return activation_ ? activation_(token, info, transport) : true;
  }

 signals:
  void cardStatusChanged(const QString& reader, const QString& cardName);
  void readerListChanged(const QStringList& readers);
  void restartRequested();

 private:
  TokenRefMap tokens_;
  BalloonFn balloons_;
  ActivationFn activation_;
  CardMonitor* monitor_ = nullptr;
};
