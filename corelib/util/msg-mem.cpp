#include "corelib/util/msg-mem.h"

#include "corelib/memory/allocator.h"
#include "corelib/memory/memory-map.h"

#include <new>

namespace
{
// Constant-initialised: usable before and after every static constructor.
DoutMem* s_pHistory = nullptr;
void* s_pHistoryBuffer = nullptr;
Memory::Allocator* s_pHistoryAllocator = nullptr;
} // namespace

void InitHistory()
{
    if (s_pHistory)
        return;
    Memory::Allocator* pAllocator = Memory::GetAllocator(Memory::kAllocDevCpu);
    if (!pAllocator)
        return;
    void* pBuffer = pAllocator->Allocate(kHistorySize, kAlign8, __FILE__, __LINE__, __func__);
    if (!pBuffer)
        return;
    void* pObject = pAllocator->Allocate(sizeof(DoutMem), alignof(DoutMem), __FILE__, __LINE__, __func__);
    if (!pObject)
    {
        pAllocator->Free(pBuffer, __FILE__, __LINE__, __func__);
        return;
    }
    s_pHistoryBuffer = pBuffer;
    s_pHistoryAllocator = pAllocator;
    s_pHistory = new (pObject) DoutMem("History", pBuffer, kHistorySize);
}

void ShutdownHistory()
{
    if (!s_pHistory)
        return;
    DoutMem* pHistory = s_pHistory;
    s_pHistory = nullptr;
    pHistory->~DoutMem();
    // Back to the allocator it came from, even if another one serves the context now.
    s_pHistoryAllocator->Free(pHistory, __FILE__, __LINE__, __func__);
    s_pHistoryAllocator->Free(s_pHistoryBuffer, __FILE__, __LINE__, __func__);
    s_pHistoryBuffer = nullptr;
    s_pHistoryAllocator = nullptr;
}

DoutMem* GetHistoryOutput()
{
    return s_pHistory;
}

U32 CopyHistory(char* buffer, U32 size)
{
    if (!s_pHistory || size == 0 || !buffer)
        return 0;
    const U32 count = s_pHistory->DumpToBuffer(buffer, size, true, 0);
    buffer[size - 1] = '\0';
    return count;
}
