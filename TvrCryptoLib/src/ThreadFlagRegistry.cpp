#include "ThreadFlagRegistry.h"

#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace TvrCrypto {

struct ThreadFlagRegistry::Record {
    uint32_t threadId;
    int flag1;
    int flag2;
    Record* next;
};

namespace {

// Created at static initialisation, so the first use from two threads at once is safe.
std::recursive_mutex g_lock;
ThreadFlagRegistry::Record* g_head = nullptr;
ThreadFlagRegistry::Record* g_tail = nullptr;

} // namespace

ThreadFlagRegistry::Record* ThreadFlagRegistry::FindOrAdd(unsigned long threadId)
{
    const auto id = static_cast<uint32_t>(threadId);
    for (Record* r = g_head; r != nullptr; r = r->next) {
        if (r->threadId == id)
            return r;
    }
    auto* record = static_cast<Record*>(std::malloc(sizeof(Record)));
    if (record == nullptr)
        return nullptr;
    record->threadId = id;
    record->flag1 = 0;
    record->flag2 = 0;
    record->next = nullptr;
    if (g_tail != nullptr)
        g_tail->next = record;
    else
        g_head = record;
    g_tail = record;
    return record;
}

int ThreadFlagRegistry::GetFlag1(unsigned long threadId)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    const Record* record = FindOrAdd(threadId);
    return record ? record->flag1 : 0;
}

int ThreadFlagRegistry::GetFlag2(unsigned long threadId)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    const Record* record = FindOrAdd(threadId);
    return record ? record->flag2 : 0;
}

void ThreadFlagRegistry::SetFlag1(unsigned long threadId, int value)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    if (Record* record = FindOrAdd(threadId))
        record->flag1 = value;
}

void ThreadFlagRegistry::Clear()
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    Record* r = g_head;
    while (r != nullptr) {
        Record* next = r->next;
        std::free(r);
        r = next;
    }
    g_head = nullptr;
    g_tail = nullptr;
}

} // namespace TvrCrypto
