#include "ThreadId.h"

#include <unistd.h>

namespace TvrCommon {

unsigned long CurrentThreadId()
{
    return static_cast<unsigned long>(gettid());
}

} // namespace TvrCommon
