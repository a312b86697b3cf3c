#pragma once

namespace TvrCommon {

// Keeps the thread's errno across diagnostic work done between a failing call and its
// error query.
class LastErrorGuard {
public:
    LastErrorGuard();
    LastErrorGuard(const LastErrorGuard&) = delete;
    LastErrorGuard& operator=(const LastErrorGuard&) = delete;
    ~LastErrorGuard();

private:
    int m_saved;
};

} // namespace TvrCommon
