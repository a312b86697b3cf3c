#include "PinTexts.h"

std::string CountText(Res::StringId text, int count) {
  const std::string format = Res::Text(text);
  const size_t at = format.find("%d");
  if (at == std::string::npos) return format;
  return format.substr(0, at) + std::to_string(count) + format.substr(at + 2);
}

void AppendTriesLine(int count, std::string& text, Res::StringId tries, Res::StringId locked,
                     bool warnLastTry) {
  if (count < 0) return;
  if (!text.empty()) text += "\n";
  if (count == 0) {
    text += Res::Text(locked);
  } else if (count == 1 && warnLastTry) {
    text += Res::Text(Res::StringId::LastTryWarning);
  } else {
    text += CountText(tries, count);
  }
}
