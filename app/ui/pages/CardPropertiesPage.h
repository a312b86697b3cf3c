// The card-properties page: label, model and serial number of the connected token,
// from the main window's cached token information.
#pragma once

#include <QLineEdit>
#include <QWidget>

#include "CardSession.h"
#include "UserPort.h"

class CardPropertiesPage : public QWidget {
  Q_OBJECT
 public:
  CardPropertiesPage(CardSession& session, IUserPort& port, QWidget* parent = nullptr);

  // Refills the fields: empty without a token; a box when the token has no information.
  void Refill();

  QLineEdit* labelEdit;
  QLineEdit* modelEdit;
  QLineEdit* serialEdit;

 private:
  CardSession& session_;
  IUserPort& port_;
};
