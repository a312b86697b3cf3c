// The wait cursor for the lifetime of the object.
#pragma once

#include <QApplication>
#include <QCursor>

class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};
