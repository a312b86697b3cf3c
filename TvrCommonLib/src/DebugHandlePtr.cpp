#include "DebugHandlePtr.h"

namespace TvrCommon {

DebugHandlePtr::DebugHandlePtr(DebugHandle* object)
    : m_object(object), m_count(object ? new std::atomic<int>(1) : nullptr)
{
}

DebugHandlePtr::DebugHandlePtr(const DebugHandlePtr& other)
    : m_object(other.m_object), m_count(other.m_count)
{
    if (m_count)
        m_count->fetch_add(1);
}

DebugHandlePtr& DebugHandlePtr::operator=(const DebugHandlePtr& other)
{
    if (m_object == other.m_object)
        return *this;
    if (other.m_count)
        other.m_count->fetch_add(1);
    Release();
    m_object = other.m_object;
    m_count = other.m_count;
    return *this;
}

DebugHandlePtr& DebugHandlePtr::operator=(DebugHandle* object)
{
    if (object == m_object)
        return *this;
    Release();
    m_object = object;
    m_count = object ? new std::atomic<int>(1) : nullptr;
    return *this;
}

DebugHandlePtr::~DebugHandlePtr()
{
    Release();
}

void DebugHandlePtr::Release()
{
    if (m_count && m_count->fetch_sub(1) <= 1) {
        delete m_count;
        delete m_object;
    }
    m_object = nullptr;
    m_count = nullptr;
}

} // namespace TvrCommon
