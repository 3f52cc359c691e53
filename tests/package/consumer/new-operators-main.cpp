// A host that opts in to the replaced global operator new/delete (corelib::memory_new):
// while an allocator is current on the thread, a plain new takes its memory from it.
#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/allocator-heap.h"

#include <cstdio>

int main()
{
    Memory::InitializeThreadAllocStack();
    alignas(16) static U8 s_frameMemory[4096];
    HeapAllocator frame("frame");
    frame.Init(s_frameMemory, sizeof(s_frameMemory));

    Memory::PushAllocator(&frame, __FILE__, __LINE__, __func__);
    U64* pValue = new U64(42);
    const bool fromFrame = reinterpret_cast<U8*>(pValue) >= s_frameMemory &&
                           reinterpret_cast<U8*>(pValue) < s_frameMemory + sizeof(s_frameMemory);
    delete pValue;
    Memory::PopAllocator();
    Memory::FreeThreadAllocStack();

    printf("operator new %s the current allocator\n", fromFrame ? "took its memory from" : "bypassed");
    return fromFrame ? 0 : 1;
}
