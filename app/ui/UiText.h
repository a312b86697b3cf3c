// String-table texts as the widgets take them.
#pragma once

#include <QString>

#include "Strings.h"

inline QString T(Res::StringId id) { return QString::fromStdString(Res::Text(id)); }
inline QString Q(const std::string& text) { return QString::fromStdString(text); }
