// The count lines of the PIN messages: "... %d ..." texts and the tries line by count.
#pragma once

#include <string>

#include "Strings.h"

// The string's text with its %d replaced by count.
std::string CountText(Res::StringId text, int count);

// Appends the tries line of a count: nothing below 0; otherwise a line feed when text is
// not empty, then the locked text for 0, the last-try warning for 1 when asked, else the
// tries text with the count.
void AppendTriesLine(int count, std::string& text, Res::StringId tries, Res::StringId locked,
                     bool warnLastTry);
