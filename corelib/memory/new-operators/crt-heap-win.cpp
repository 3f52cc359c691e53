// Win32: every block comes from _aligned_malloc, so that one release function serves all.
#include "corelib/memory/new-operators/crt-heap.h"

#include <malloc.h>

namespace Memory
{
void* CrtHeapAllocate(U64 size, U64 alignment)
{
    const U64 align = alignment < 16 ? 16 : alignment;
    return _aligned_malloc(size ? size : 1, align);
}

void CrtHeapFree(void* p)
{
    _aligned_free(p);
}
} // namespace Memory
