#include "PinPage.h"

#include <QGridLayout>
#include <QVBoxLayout>

#include "UiText.h"
#include "WaitCursor.h"

using Res::StringId;

PinPage::PinPage(IPinPageHost& host, IUserPort& port, IPinVendorPaths& paths, QWidget* parent)
    : QWidget(parent), host_(host), prompts_(port, this), operations_(host, port, prompts_, paths) {
  setWindowTitle(T(StringId::PinPageTitle));
  statusButton = new QPushButton(T(StringId::PinStatusButton), this);
  changeButton = new QPushButton(T(StringId::PinChangeButton), this);
  unblockButton = new QPushButton(T(StringId::PinUnblockButton), this);
  signingChangeButton = new QPushButton(T(StringId::SigningPinChangeButton), this);
  signingUnblockButton = new QPushButton(T(StringId::SigningPinUnblockButton), this);
  for (QPushButton* button : {signingChangeButton, signingUnblockButton}) {
    button->setEnabled(false);
    button->setVisible(false);
  }

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(T(StringId::PinStatusLabel), this), 0, 0);
  grid->addWidget(statusButton, 0, 1);
  grid->addWidget(new QLabel(T(StringId::PinChangeLabel), this), 1, 0);
  grid->addWidget(changeButton, 1, 1);
  grid->addWidget(signingChangeButton, 1, 2);
  grid->addWidget(new QLabel(T(StringId::PinUnblockLabel), this), 2, 0);
  grid->addWidget(unblockButton, 2, 1);
  grid->addWidget(signingUnblockButton, 2, 2);
  grid->setColumnStretch(3, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addStretch(1);

  connect(statusButton, &QPushButton::clicked, this, [this] {
    Begin();
    operations_.ShowStatus([this] { End(); });
  });
  const auto run = [this](PinOperation operation) {
    return [this, operation] {
      Begin();
      operations_.Run(operation, [this] { End(); });
    };
  };
  connect(changeButton, &QPushButton::clicked, this, run(PinOperation::ChangePin));
  connect(unblockButton, &QPushButton::clicked, this, run(PinOperation::UnblockPin));
  connect(signingChangeButton, &QPushButton::clicked, this, run(PinOperation::ChangeSigningPin));
  connect(signingUnblockButton, &QPushButton::clicked, this,
          run(PinOperation::UnblockSigningPin));
}

void PinPage::Begin() {
  running_ = true;
  Disable();
}

void PinPage::End() {
  running_ = false;
  // As before the operation; the window's refresh of the page follows the card's change.
  Restore();
}

void PinPage::SetCardUpdating(bool updating) {
  if (updating == updating_) return;
  updating_ = updating;
  if (updating) Disable();
  else Restore();
}

void PinPage::Disable() {
  enabledBefore_.clear();
  for (QPushButton* button : Buttons()) {
    enabledBefore_.push_back(button->isEnabled());
    button->setEnabled(false);
  }
}

void PinPage::Restore() {
  const std::vector<QPushButton*> buttons = Buttons();
  for (size_t i = 0; i < buttons.size() && i < enabledBefore_.size(); ++i) buttons[i]->setEnabled(enabledBefore_[i]);
}

std::vector<QPushButton*> PinPage::Buttons() const {
  return {statusButton, changeButton, unblockButton, signingChangeButton, signingUnblockButton};
}

void PinPage::UpdateButtons() {
  // The operation's end brings the buttons back; the window's card work keeps the card
  // until it is over, and the page is refreshed then.
  if (running_ || updating_ || host_.CardUpdating()) return;
  PinButtons state;
  {
    WaitCursor wait;
    if (!operations_.UpdateButtons(state)) return;
  }
  changeButton->setText(T(state.changeText));
  unblockButton->setText(T(state.unblockText));
  changeButton->setEnabled(state.changeEnabled);
  unblockButton->setEnabled(state.unblockEnabled);
  for (QPushButton* button : {signingChangeButton, signingUnblockButton}) {
    button->setVisible(state.signingVisible);
    button->setEnabled(state.signingEnabled);
  }
  statusButton->setEnabled(state.statusEnabled);
}

void PinPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  UpdateButtons();
  setFocus();
}
