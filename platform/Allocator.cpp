#include "platform/Allocator.h"

#include <malloc.h>

namespace corvantis {

bool LimitAllocatorArenas(int count)
{
    return ::mallopt(M_ARENA_MAX, count) == 1;
}

void ReleaseFreeMemory()
{
    ::malloc_trim(0);
}

} // namespace corvantis
