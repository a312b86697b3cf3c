// Waits for the main window's own card reads to be over.
#pragma once

#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>

#include <functional>

#include "MainWindow.h"

namespace UiTest {

// The window's own card reads are over and no notice brings another: the log-in button
// is back, nothing runs, and `also` holds, for a while on end.
inline bool WaitSettled(MainWindow& window, const std::function<bool()>& also, int ms = 15000) {
  QElapsedTimer stable;
  return QTest::qWaitFor([&] {
    if (window.Busy() || !window.LoginButton()->isEnabled() || (also && !also())) {
      stable.invalidate();
      return false;
    }
    if (!stable.isValid()) stable.start();
    return stable.elapsed() >= 300;
  }, ms);
}

}  // namespace UiTest
