// The demo game's memory: a memory map with one budget line per use, and one allocator
// for each memory context the demo uses, each over a block taken from the platform once
// at start-up:
//   kAllocSystemDirect      DemoPoolAllocator: the job system's block and its trace memory
//   kAllocPhysicsPersistent linear HeapAllocator: the simulation's state and results
//   kAllocSingleGameFrame   double-buffered HeapAllocator: memory of one frame, which the
//                           host switches at every frame (the jobs' declarations live there)
#pragma once

#include "corelib/memory/allocator-heap.h"
#include "demo/demo-pool-allocator.h"

// The budget lines of the demo's memory map.
enum DemoMemoryMapId : U32
{
    kDemoMapJobSystem = 1,
    kDemoMapJobTrace = 2,
    kDemoMapSimulation = 3,
    kDemoMapFrame = 4,
};

// The budgets, in bytes (each a multiple of 128).
struct DemoMemoryBudgets
{
    U64 m_jobSystem;
    U64 m_jobTrace;
    U64 m_simulation;
    U64 m_frame; // each of the two frame buffers
};

class DemoMemory
{
public:
    DemoMemory();
    ~DemoMemory();
    DemoMemory(const DemoMemory&) = delete;
    DemoMemory& operator=(const DemoMemory&) = delete;

    // Installs the map, takes the blocks, registers the allocators and gives the calling
    // thread an allocator stack. Once per process.
    void Setup(const DemoMemoryBudgets& budgets);
    // Prints the map on message channel 1.
    void PrintMap() const;
    // Unregisters the allocators, releases the blocks and the thread's allocator stack.
    // Returns false, after saying so on channel 1, when the pool still holds blocks.
    bool Shutdown();

    DemoPoolAllocator& GetSystemAllocator() { return m_system; }

private:
    DemoPoolAllocator m_system;
    HeapAllocator m_simulation;
    HeapAllocator m_frame;
    void* m_pSystemBlock = nullptr;
    void* m_pSimulationBlock = nullptr;
    void* m_pFrameBlock = nullptr;
    U64 m_systemBlockSize = 0;
    bool m_isSetUp = false;
};
