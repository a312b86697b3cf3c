// String-table texts as the widgets take them.
#pragma once

#include <QString>
#include <QTextDocument>

#include "Strings.h"

inline QString T(Res::StringId id) { return QString::fromStdString(Res::Text(id)); }
inline QString Q(const std::string& text) { return QString::fromStdString(text); }
// A tooltip that shows `text` as it is: Qt takes a tooltip that looks like markup for
// rich text (a card label "<b>x</b> <img src=...>" would render).
inline QString PlainToolTip(const QString& text) {
  return text.isEmpty() ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}
