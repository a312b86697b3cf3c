// Card work that must not hold up the interface thread: a PIN operation, the
// re-registration after a change of the card's certificates. The main window runs the
// work on a thread of its own and the follow-up back on the interface thread.
#pragma once

#include <functional>

class ICardTaskRunner {
 public:
  virtual ~ICardTaskRunner() = default;
  // Runs `work` away from the interface thread, then `done` on it. Until `done` has run,
  // the card stays as it was: the token object and the cached records the work was given
  // are neither replaced nor freed. `work` may use the card, the network and the store,
  // never a widget or the user port; `done` may use them all. Without a window (the
  // logic's tests) both run at once, in order.
  virtual void RunCardTask(std::function<void()> work, std::function<void()> done) {
    work();
    done();
  }
  // True while the window's own card work (refresh, log-in, log-out, reading the card
  // again) has the card: the token and the cached records are not there to read, so a
  // page keeps what it shows and is refreshed when the work is over.
  virtual bool CardUpdating() { return false; }
};
