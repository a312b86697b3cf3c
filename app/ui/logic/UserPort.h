// Everything the logic below the windows says to or asks of the user. The program
// implements it with Qt dialogs; tests use a scripted port that records each exchange.
#pragma once

#include <string>

#include "platform/MessageBox.h"

class IUserPort {
 public:
  virtual ~IUserPort() = default;
  // A message box; flags and answers keep the Windows numbers of platform/MessageBox.h.
  // An empty caption stands for the application's display name.
  virtual int MessageBox(const std::string& text, const std::string& caption,
                         unsigned flags) = 0;
};
