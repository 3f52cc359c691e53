#include "demo/demo-memory.h"

#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/memory-map.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"

#include <cstdarg>
#include <new>

namespace
{
// What the pool spends besides the budget of one line: a node header and the padding
// that 128-byte alignment may take.
constexpr U64 kPoolOverheadPerLine = 256;

void* TakeBlock(U64 size)
{
    return ::operator new(size, std::align_val_t(128));
}

void ReleaseBlock(void* p)
{
    if (p)
        ::operator delete(p, std::align_val_t(128));
}

void PrintToInfoChannel(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    VPrintToMsgOutput(kMsgChannelInfo, fmt, args);
    va_end(args);
}
} // namespace

DemoMemory::DemoMemory() : m_system("DemoSystemPool"), m_simulation("DemoSimulation"), m_frame("DemoFrame") {}

DemoMemory::~DemoMemory()
{
    if (m_isSetUp)
        Shutdown();
}

void DemoMemory::Setup(const DemoMemoryBudgets& budgets)
{
    OX_ASSERT(!m_isSetUp);
    const Memory::MemoryMapEntry map[] = {
        {kDemoMapJobSystem, Memory::kAllocSystemDirect, static_cast<I64>(budgets.m_jobSystem), kAlign128,
         "JobSystem"},
        {kDemoMapJobTrace, Memory::kAllocSystemDirect, static_cast<I64>(budgets.m_jobTrace), kAlign128,
         "JobTrace"},
        {kDemoMapSimulation, Memory::kAllocPhysicsPersistent, static_cast<I64>(budgets.m_simulation),
         kAlign128, "ClothAndAudio"},
        {kDemoMapFrame, Memory::kAllocSingleGameFrame, static_cast<I64>(budgets.m_frame), kAlign128,
         "FrameMemory (x2)"},
        {0, Memory::kAllocInvalid, 0, kAlign8, nullptr},
    };
    Memory::SetMemoryMap(map, nullptr);

    m_systemBlockSize = budgets.m_jobSystem + budgets.m_jobTrace + 2 * kPoolOverheadPerLine;
    m_pSystemBlock = TakeBlock(m_systemBlockSize);
    m_system.Init(m_pSystemBlock, m_systemBlockSize);
    m_pSimulationBlock = TakeBlock(budgets.m_simulation);
    m_simulation.Init(m_pSimulationBlock, budgets.m_simulation);
    m_pFrameBlock = TakeBlock(2 * budgets.m_frame);
    m_frame.Init(m_pFrameBlock, static_cast<U8*>(m_pFrameBlock) + budgets.m_frame, budgets.m_frame,
                 HeapAllocator::kResetNextBuffer);

    Memory::RegisterAllocator(Memory::kAllocSystemDirect, &m_system);
    Memory::RegisterAllocator(Memory::kAllocPhysicsPersistent, &m_simulation);
    Memory::RegisterAllocator(Memory::kAllocSingleGameFrame, &m_frame);
    Memory::InitializeThreadAllocStack();
    m_isSetUp = true;
}

void DemoMemory::PrintMap() const
{
    Memory::PrintMemoryMapWith(PrintToInfoChannel, nullptr, 0);
}

bool DemoMemory::Shutdown()
{
    OX_ASSERT(m_isSetUp);
    const U64 leftInPool = m_system.GetBytesInUse();
    PrintToMsgOutput(
        kMsgChannelInfo, "Memory: system pool peak %llu of %llu bytes, %llu bytes still allocated\n",
        static_cast<unsigned long long>(m_system.GetPeakBytesInUse()),
        static_cast<unsigned long long>(m_systemBlockSize), static_cast<unsigned long long>(leftInPool));
    Memory::FreeThreadAllocStack();
    Memory::RegisterAllocator(Memory::kAllocSingleGameFrame, nullptr);
    Memory::RegisterAllocator(Memory::kAllocPhysicsPersistent, nullptr);
    Memory::RegisterAllocator(Memory::kAllocSystemDirect, nullptr);
    m_frame.Shutdown();
    m_simulation.Shutdown();
    m_system.Shutdown();
    ReleaseBlock(m_pFrameBlock);
    ReleaseBlock(m_pSimulationBlock);
    ReleaseBlock(m_pSystemBlock);
    m_pFrameBlock = m_pSimulationBlock = m_pSystemBlock = nullptr;
    m_isSetUp = false;
    return leftInPool == 0;
}
