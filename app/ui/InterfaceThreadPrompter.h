// The user questions of the card monitor thread (the PIN activation on insertion), asked
// on the interface thread: each one is queued there and the monitor thread waits for its
// answer. At shutdown CancelPending answers every waiting question with a cancel, closes
// the open dialog and cancels every later question at once, so that the monitor thread
// can be joined while a prompt is still on the screen.
#pragma once

#include <QObject>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "PinPrompts.h"
#include "UserPort.h"

class InterfaceThreadPrompter : public QObject, public IUserPort, public IPinPrompts {
  Q_OBJECT
 public:
  // Created on the interface thread; port and prompts are used there only.
  InterfaceThreadPrompter(IUserPort& port, IPinPrompts& prompts, QObject* parent = nullptr);

  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
  OwnedPin AskPuk(const std::string& title, int minimum, int maximum) override;
  std::optional<PinPair> AskChange(const std::string& title, int minimum, int maximum) override;
  std::optional<PinPair> AskUnblock(const std::string& title, int pinMinimum, int pinMaximum,
                                    int pukMinimum, int pukMaximum) override;

  // On the interface thread, before the monitor thread is joined.
  void CancelPending();
  bool Cancelled() const;

 private:
  template <typename R>
  R Ask(std::function<R()> question, std::function<R()> cancelled);
  void CloseOpenDialogs();

  IUserPort& port_;
  IPinPrompts& prompts_;
  mutable std::mutex lock_;
  std::condition_variable answered_;
  bool cancelled_ = false;
  int open_ = 0;  // questions running on the interface thread
};
