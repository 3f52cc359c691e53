// POSIX: posix_memalign blocks are released with free.
#include "corelib/memory/new-operators/crt-heap.h"

#include <cstdlib>

namespace Memory
{
void* CrtHeapAllocate(U64 size, U64 alignment)
{
    void* p = nullptr;
    const U64 align = alignment < sizeof(void*) * 2 ? sizeof(void*) * 2 : alignment;
    if (posix_memalign(&p, align, size ? size : 1) != 0)
        return nullptr;
    return p;
}

void CrtHeapFree(void* p)
{
    std::free(p);
}
} // namespace Memory
