#include "LateWindowGuard.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QWidget>

#include "EventLog.h"

LateWindowGuard::LateWindowGuard(QObject* parent) : QObject(parent) { qApp->installEventFilter(this); }

LateWindowGuard::~LateWindowGuard() {
  if (qApp) qApp->removeEventFilter(this);
}

bool LateWindowGuard::eventFilter(QObject* watched, QEvent* event) {
  // The show event comes before the window is mapped: marked now, it never is.
  if (event->type() != QEvent::Show || !watched->isWidgetType()) return false;
  auto* widget = static_cast<QWidget*>(watched);
  if (!widget->isWindow() || widget->testAttribute(Qt::WA_DontShowOnScreen)) return false;
  widget->setAttribute(Qt::WA_DontShowOnScreen);
  ++kept_;
  LogEvent(EVENTLOG_INFORMATION_TYPE,
           std::string("Window not shown, the program ends: ") + widget->metaObject()->className());
  // Hidden from its own loop (a dialog's exec starts that loop only after the show);
  // hiding ends it whatever the dialog makes of a rejection.
  QPointer<QWidget> late(widget);
  QMetaObject::invokeMethod(
      widget,
      [late] {
        if (late) late->hide();
      },
      Qt::QueuedConnection);
  return false;
}
