#include "PinPage.h"

#include <QApplication>
#include <QGridLayout>
#include <QVBoxLayout>

#include "UiText.h"

using Res::StringId;

namespace {

// The wait cursor for as long as the card is read.
class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

PinPage::PinPage(IPinPageHost& host, IUserPort& port, IPinVendorPaths& paths, QWidget* parent)
    : QWidget(parent), prompts_(port, this), operations_(host, port, prompts_, paths) {
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

  connect(statusButton, &QPushButton::clicked, this, [this] { operations_.ShowStatus(); });
  const auto run = [this](PinOperation operation) {
    return [this, operation] { operations_.Run(operation); };
  };
  connect(changeButton, &QPushButton::clicked, this, run(PinOperation::ChangePin));
  connect(unblockButton, &QPushButton::clicked, this, run(PinOperation::UnblockPin));
  connect(signingChangeButton, &QPushButton::clicked, this, run(PinOperation::ChangeSigningPin));
  connect(signingUnblockButton, &QPushButton::clicked, this,
          run(PinOperation::UnblockSigningPin));
}

void PinPage::UpdateButtons() {
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
