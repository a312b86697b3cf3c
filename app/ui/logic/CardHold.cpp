#include "CardHold.h"

CardHold& CardHold::operator=(CardHold&& other) noexcept {
  if (this != &other) {
    Release();
    keeper_ = other.keeper_;
    other.keeper_ = nullptr;
  }
  return *this;
}

bool CardHold::CardLeft() const { return keeper_ && keeper_->CardLeft(); }

void CardHold::Release() {
  if (!keeper_) return;
  CardKeeper* keeper = keeper_;
  keeper_ = nullptr;
  keeper->Let();
}

CardHold CardKeeper::HoldCard() {
  if (holds_.fetch_add(1) == 0 && onHeldChanged_) onHeldChanged_(true);
  return CardHold(this);
}

void CardKeeper::Let() {
  if (holds_.fetch_sub(1) == 1 && onHeldChanged_) onHeldChanged_(false);
}
