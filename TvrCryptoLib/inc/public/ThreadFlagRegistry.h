#pragma once

namespace TvrCrypto {

// Two integer flags per thread, keyed by TvrCommon::CurrentThreadId(). Flag 1 is saved, cleared
// and restored around signature checks; flag 2 is only ever read (always 0). All operations are
// safe from any thread. The OpenSSL clean-up clears the registry.
class ThreadFlagRegistry {
public:
    struct Record;

    // The flag of the thread's record (created when missing); 0 when it cannot be created.
    static int GetFlag1(unsigned long threadId);
    static int GetFlag2(unsigned long threadId);
    // Creates the record when missing; does nothing when it cannot be created.
    static void SetFlag1(unsigned long threadId, int value);
    // Frees every record.
    static void Clear();

private:
    // Caller holds the registry lock. Null when the record cannot be allocated.
    static Record* FindOrAdd(unsigned long threadId);
};

} // namespace TvrCrypto
