// A host's first allocations: a memory map, a PoolAllocator per context, an allocator
// stack on each thread, a per-frame scoped temporary buffer and a tracker's report.
#include "corelib/memory/allocation-tracker.h"
#include "corelib/memory/allocator-pool.h"
#include "corelib/memory/memory.h"
#include "corelib/memory/scoped-temp-allocator.h"
#include "corelib/util/console-reports.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

using namespace Memory;

const MemoryMapEntry kMap[] = {
    {1, kAllocAppCpu, 8 << 20, kAlign16, "Game"},
    {2, kAllocDevCpu, 1 << 20, kAlign16, "Tools"},        // the tracker's records
    {3, kAllocSystemDirect, 1 << 20, kAlign16, "System"}, // scoped temporaries' books
    {0, kAllocInvalid, 0, kAlign8, nullptr}};

// One frame of a thread: two objects that live on, and text built in scratch memory.
void Frame(const char* who, int** ppScores)
{
    PushAllocator(kAllocAppCpu, __FILE__, __LINE__, __func__); // unqualified allocations go to "Game"
    *ppScores = new (kAllocAppCpu) int[64];
    {
        ScopedTempAllocator scratch(true, __FILE__, __LINE__, __func__); // freed as a whole at the brace
        char* pText = static_cast<char*>(Allocate(64, 16, __FILE__, __LINE__, __func__));
        std::snprintf(pText, 64, "%s thread", who);
    }
    PopAllocator();
}

int main()
{
    InstallConsoleReports();
    SetMemoryMap(kMap, nullptr);
    PoolAllocator pools[] = {PoolAllocator("Game"), PoolAllocator("Tools"), PoolAllocator("System")};
    std::unique_ptr<U8[]> blocks[3];
    for (int i = 0; i < 3; ++i)
    {
        blocks[i].reset(new U8[kMap[i].m_size]);
        pools[i].Init(blocks[i].get(), kMap[i].m_size, true); // thread safe
        RegisterAllocator(kMap[i].m_context, &pools[i]);
    }
    InitializeThreadAllocStack();
    static U8 s_scratch[256 << 10];
    InitializeScopedTempAllocSystem(s_scratch, sizeof(s_scratch), 8); // up to 8 threads' scratch at once
    {
        GenericAllocationTracker tracker("Game Tracker", 1024);
        pools[0].SetTracker(&tracker);
        int* pScores[2];
        std::thread worker(
            [&] { InitializeThreadAllocStack(), Frame("worker", &pScores[1]), FreeThreadAllocStack(); });
        Frame("main", &pScores[0]);
        worker.join();
        tracker.PrintMemoryReport(); // channel 17: the two score arrays, with this file's lines
        std::printf("two threads left %u blocks in Game\n", tracker.GetNumAllocations());
        for (int* p : pScores)
            Free(p, __FILE__, __LINE__, __func__);
        pools[0].RemoveTracker();
    }
    ShutdownScopedTempAllocSystem();
    FreeThreadAllocStack();
    for (int i = 0; i < 3; ++i)
        RegisterAllocator(kMap[i].m_context, nullptr), pools[i].Shutdown();
    return 0;
}
