#include "CloseOrHideDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QStyle>
#include <QVBoxLayout>

#include "UiText.h"

using Res::StringId;

CloseOrHideDialog::CloseOrHideDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(T(StringId::CloseOrHideCaption));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxQuestion).pixmap(32, 32));
  icon->setAlignment(Qt::AlignTop);
  top->addWidget(icon);
  auto* texts = new QVBoxLayout;
  auto* question = new QLabel(T(StringId::CloseOrHideQuestion), this);
  QFont bold = question->font();
  bold.setBold(true);
  question->setFont(bold);
  auto* explanation = new QLabel(T(StringId::CloseOrHideExplanation), this);
  explanation->setWordWrap(true);
  texts->addWidget(question);
  texts->addWidget(explanation);
  top->addLayout(texts, 1);
  layout->addLayout(top);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  close_ = new QPushButton(T(StringId::CloseButton), this);
  hide_ = new QPushButton(T(StringId::HideButton), this);
  auto* cancel = new QPushButton(T(StringId::CancelButton), this);
  hide_->setDefault(true);
  buttons->addWidget(close_);
  buttons->addWidget(hide_);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  connect(close_, &QPushButton::clicked, this, [this] { choice_ = Close; accept(); });
  connect(hide_, &QPushButton::clicked, this, [this] { choice_ = Hide; accept(); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  setMinimumWidth(460);
}
