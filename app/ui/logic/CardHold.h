// The holds on the main window's card: who may use the token and the cached objects,
// and whether the card is still the one they were taken on. The rule they keep is written
// where the session lives (CardSession.h).
#pragma once

#include <atomic>
#include <functional>

class CardKeeper;

// One borrower's hold on the session's card (see CardSession.h). Move-only; an empty hold holds
// nothing and never reports the card gone.
class CardHold {
 public:
  CardHold() = default;
  ~CardHold() { Release(); }
  CardHold(CardHold&& other) noexcept : keeper_(other.keeper_) { other.keeper_ = nullptr; }
  CardHold& operator=(CardHold&& other) noexcept;
  CardHold(const CardHold&) = delete;
  CardHold& operator=(const CardHold&) = delete;

  // True when the card this hold was taken on has left or been replaced since (or had
  // already when the hold was taken): the holder stops without another card call.
  bool CardLeft() const;
  // Lets go before the end of the scope.
  void Release();
  bool Holds() const { return keeper_ != nullptr; }

 private:
  friend class CardKeeper;
  explicit CardHold(CardKeeper* keeper) : keeper_(keeper) {}
  CardKeeper* keeper_ = nullptr;
};

// Counts the holds on one card and remembers whether that card left meanwhile. Holds are
// taken and let go on the interface thread; `CardLeft` may be read on any thread (a
// worker that borrows its caller's hold).
class CardKeeper {
 public:
  CardKeeper() = default;
  CardKeeper(const CardKeeper&) = delete;
  CardKeeper& operator=(const CardKeeper&) = delete;

  CardHold HoldCard();
  bool Held() const { return holds_.load() > 0; }
  // The held card left or was replaced: every hold reports it until the card is
  // connected afresh.
  void NoteCardLeft() { left_ = true; }
  // The session connected the reader's card again (no hold alive): holds taken from now
  // on are on that card.
  void NoteCardConnected() { left_ = false; }
  bool CardLeft() const { return left_.load(); }
  // Runs with true when the first hold is taken and with false when the last one goes.
  void SetOnHeldChanged(std::function<void(bool held)> f) { onHeldChanged_ = std::move(f); }

 private:
  friend class CardHold;
  void Let();

  std::atomic<int> holds_{0};
  std::atomic<bool> left_{false};
  std::function<void(bool)> onHeldChanged_;
};
