// Rows a little taller than the font, so that accents on capitals (Á, Ő, Ű) are not cut.
// (A style sheet would do the same at the price of a style-sheet style for the widget,
// which costs more to set up than the rest of a page.)
#pragma once

#include <QStyledItemDelegate>

#include <algorithm>

class PaddedRowDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(std::max(size.height(), option.fontMetrics.height()) + 6);
    return size;
  }
};
