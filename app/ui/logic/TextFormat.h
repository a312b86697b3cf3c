// printf-style filling of string-table texts ("%s", "%d"), whose format is data.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

template <typename... Args>
std::string FormatText(const std::string& format, Args... args) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
  const int n = std::snprintf(nullptr, 0, format.c_str(), args...);
  if (n <= 0) return n == 0 ? std::string() : format;
  std::vector<char> buffer(static_cast<size_t>(n) + 1);
  std::snprintf(buffer.data(), buffer.size(), format.c_str(), args...);
#pragma GCC diagnostic pop
  return std::string(buffer.data(), static_cast<size_t>(n));
}
