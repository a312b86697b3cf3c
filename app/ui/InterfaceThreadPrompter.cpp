#include "InterfaceThreadPrompter.h"

#include <QApplication>
#include <QDialog>
#include <QThread>

#include <optional>

#include "platform/MessageBox.h"

InterfaceThreadPrompter::InterfaceThreadPrompter(IUserPort& port, IPinPrompts& prompts,
                                                 QObject* parent)
    : QObject(parent), port_(port), prompts_(prompts) {}

bool InterfaceThreadPrompter::Cancelled() const {
  std::lock_guard<std::mutex> guard(lock_);
  return cancelled_;
}

template <typename R>
R InterfaceThreadPrompter::Ask(std::function<R()> question, std::function<R()> cancelled) {
  if (QThread::currentThread() == thread()) {
    if (Cancelled()) return cancelled();
    ++open_;
    R answer = question();
    --open_;
    return answer;
  }
  // The answer record outlives whichever side gives up first.
  struct Record {
    bool done = false;
    std::optional<R> answer;
  };
  auto record = std::make_shared<Record>();
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (cancelled_) return cancelled();
  }
  QMetaObject::invokeMethod(
      this,
      [this, record, question] {
        if (Cancelled()) return;
        ++open_;
        R answer = question();
        --open_;
        std::lock_guard<std::mutex> guard(lock_);
        record->answer = std::move(answer);
        record->done = true;
        answered_.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> guard(lock_);
  answered_.wait(guard, [&] { return record->done || cancelled_; });
  if (!record->done) return cancelled();
  return std::move(*record->answer);
}

int InterfaceThreadPrompter::MessageBox(const std::string& text, const std::string& caption,
                                        unsigned flags) {
  return Ask<int>([this, text, caption, flags] { return port_.MessageBox(text, caption, flags); },
                  [flags] {
                    return (flags & 0x0F) == Platform::kMbYesNo ? Platform::kIdNo
                                                                 : Platform::kIdCancel;
                  });
}

OwnedPin InterfaceThreadPrompter::AskPuk(const std::string& title, int minimum, int maximum) {
  return Ask<OwnedPin>([this, title, minimum, maximum] {
    return prompts_.AskPuk(title, minimum, maximum);
  }, [] { return OwnedPin{}; });
}

std::optional<PinPair> InterfaceThreadPrompter::AskChange(const std::string& title, int minimum,
                                                          int maximum) {
  return Ask<std::optional<PinPair>>([this, title, minimum, maximum] {
    return prompts_.AskChange(title, minimum, maximum);
  }, [] { return std::optional<PinPair>{}; });
}

std::optional<PinPair> InterfaceThreadPrompter::AskUnblock(const std::string& title,
                                                           int pinMinimum, int pinMaximum,
                                                           int pukMinimum, int pukMaximum) {
  return Ask<std::optional<PinPair>>(
      [this, title, pinMinimum, pinMaximum, pukMinimum, pukMaximum] {
        return prompts_.AskUnblock(title, pinMinimum, pinMaximum, pukMinimum, pukMaximum);
      },
      [] { return std::optional<PinPair>{}; });
}

void InterfaceThreadPrompter::CancelPending() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    cancelled_ = true;
  }
  answered_.notify_all();
  if (open_ > 0) CloseOpenDialogs();
}

void InterfaceThreadPrompter::CloseOpenDialogs() {
  // The question's dialog (and a refusal box over it) is the modal window on top; each
  // closes when control returns to its event loop.
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(widget);
    if (dialog && dialog->isVisible() && dialog->isModal()) dialog->reject();
  }
}
