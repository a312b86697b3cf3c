#include "platform/MessageBox.h"

#include <cstdio>
#include <mutex>

namespace Platform {

namespace {
std::mutex g_lock;
MessageBoxHandler g_handler;
}  // namespace

int MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  MessageBoxHandler handler;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    handler = g_handler;
  }
  if (handler) return handler(text, caption, flags);
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  return ClosedAnswer(flags);
}

int ClosedAnswer(unsigned flags) {
  switch (flags & kMbTypeMask) {
    case kMbOkCancel:
    case kMbYesNoCancel:
    case kMbRetryCancel: return kIdCancel;
    case kMbYesNo: return kIdNo;
    case kMbAbortRetryIgnore: return kIdAbort;
    default: return kIdOk;
  }
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  std::lock_guard<std::mutex> lock(g_lock);
  MessageBoxHandler previous = std::move(g_handler);
  g_handler = std::move(handler);
  return previous;
}

}  // namespace Platform
