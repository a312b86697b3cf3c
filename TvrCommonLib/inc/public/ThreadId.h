#pragma once

namespace TvrCommon {

// The kernel's id of the calling thread (gettid). Used wherever threads are told apart:
// trace prefixes, the debug-handle registry and the per-thread OpenSSL flags.
unsigned long CurrentThreadId();

} // namespace TvrCommon
