#include "CardPropertiesPage.h"

#include <QFormLayout>

#include "CertificateTexts.h"
#include "UiText.h"
#include "WaitCursor.h"

CardPropertiesPage::CardPropertiesPage(CardSession& session, IUserPort& port, QWidget* parent)
    : QWidget(parent), session_(session), port_(port) {
  auto* form = new QFormLayout(this);
  auto makeEdit = [this] {
    auto* edit = new QLineEdit(this);
    edit->setReadOnly(true);
    return edit;
  };
  labelEdit = makeEdit();
  modelEdit = makeEdit();
  serialEdit = makeEdit();
  form->addRow(T(Res::StringId::TokenLabelField), labelEdit);
  form->addRow(T(Res::StringId::TokenModelField), modelEdit);
  form->addRow(T(Res::StringId::TokenSerialField), serialEdit);
}

void CardPropertiesPage::Refill() {
  // The window's card work has the card: the fields stay until the window refills them.
  if (session_.Working()) return;
  if (!session_.Token()) {
    labelEdit->clear();
    modelEdit->clear();
    serialEdit->clear();
    return;
  }
  WaitCursor wait;
  if (const TokenInfo* info = session_.GetTokenInfo(false)) {
    // Written by whoever personalised the card, not always in UTF-8 (then read as
    // CP1250, as the contents tree does): shown as plain text.
    labelEdit->setText(Q(Utf8ToCString(info->label)));
    modelEdit->setText(Q(DisplayText(info->model)));
    serialEdit->setText(Q(Utf8ToCString(info->serialNumber)));
    labelEdit->setFocus();
  } else {
    port_.MessageBox(Res::Text(Res::StringId::CardReadError), "", Platform::kMbIconError);
  }
}
