#include "corelib/memory/allocator-heap.h"

#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/memory-map.h"
#include "corelib/memory/memory.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"

namespace
{
// Reports an unsupported operation under its qualified name, the way it is looked up in
// crash reports.
OX_COLD void ReportUnsupported(const char* qualifiedFunction, int line)
{
    OxAssertBegin();
    OxAssertReport("false", __FILE__, qualifiedFunction, line, nullptr);
}

inline U64 RoundUp(U64 value, U64 alignment)
{
    const U64 mask = (alignment ? alignment : 1) - 1;
    return (value + mask) & ~mask;
}

constexpr U64 kWasteWarningBytes = 0x100000;
} // namespace

HeapAllocator::HeapAllocator(const char* name) : Memory::Allocator(name) {}

HeapAllocator::~HeapAllocator() = default;

void HeapAllocator::Init(void* mem, U64 size)
{
    InitBuffers(mem, nullptr, nullptr, size, 1, kResetNone);
}

void HeapAllocator::Init(void* mem, U64 size, U32 mode)
{
    InitBuffers(mem, nullptr, nullptr, size, 1, mode);
}

void HeapAllocator::Init(void* mem0, void* mem1, U64 size, U32 mode)
{
    InitBuffers(mem0, mem1, nullptr, size, 2, mode);
}

void HeapAllocator::Init(void* mem0, void* mem1, void* mem2, U64 size, U32 mode)
{
    InitBuffers(mem0, mem1, mem2, size, 3, mode);
}

void HeapAllocator::InitBuffers(void* mem0, void* mem1, void* mem2, U64 size, U32 numBuffers, U32 mode)
{
    if (m_pTracker)
        m_pTracker->Clear();
    m_pBuffers[0] = static_cast<U8*>(mem0);
    m_pBuffers[1] = static_cast<U8*>(mem1);
    m_pBuffers[2] = static_cast<U8*>(mem2);
    m_bufferSize = size;
    m_numBuffers = static_cast<U8>(numBuffers);
    m_bufferIndex = 0;
    m_resetMode = mode;
    m_arena.Init(mem0, size);
    SetThreadSafe(true);
}

void HeapAllocator::Relocate(I64 delta, U64 low, U64 high)
{
    m_arena.Relocate(delta, low, high);
    for (U8*& pBuffer : m_pBuffers)
    {
        const U64 address = reinterpret_cast<UPtr>(pBuffer);
        if (address >= low && address < high)
            pBuffer = reinterpret_cast<U8*>(static_cast<UPtr>(address + static_cast<U64>(delta)));
    }
}

void HeapAllocator::Shutdown()
{
    Memory::Allocator::Shutdown();
    m_arena.Clear();
    m_pBuffers[0] = m_pBuffers[1] = m_pBuffers[2] = nullptr;
    m_bufferSize = 0;
    m_numBuffers = 0;
    m_bufferIndex = 0;
    m_resetMode = kResetNone;
}

void HeapAllocator::Clear()
{
    Memory::Allocator::Clear();
    m_arena.Init(m_pBuffers[0], m_bufferSize);
    m_bufferIndex = 0;
}

void HeapAllocator::FreeToMarker(const Memory::Marker& marker)
{
    Memory::Allocator::FreeToMarker(marker);
    m_arena.SetCurrent(marker);
}

Memory::Marker HeapAllocator::GetMarker()
{
    return static_cast<Memory::Marker>(reinterpret_cast<UPtr>(m_arena.GetCurrent()));
}

void HeapAllocator::Rewind()
{
    m_arena.Init(m_pBuffers[m_bufferIndex], m_bufferSize);
    if (m_pTracker)
        m_pTracker->Clear();
}

void HeapAllocator::Reset(bool keep)
{
    switch (m_resetMode)
    {
    case kResetNone:
        break;
    case kResetRewindUnlessKeep:
        if (keep)
            break;
        [[fallthrough]];
    case kResetRewind:
        m_bufferIndex = 0;
        Rewind();
        break;
    case kResetNextBufferUnlessKeep:
        if (keep)
            break;
        [[fallthrough]];
    case kResetNextBuffer:
        m_bufferIndex = static_cast<U8>(m_numBuffers ? (m_bufferIndex + 1) % m_numBuffers : 0);
        Rewind();
        break;
    default:
        OX_ASSERT(0);
        break;
    }
}

void HeapAllocator::Update() {}

void* HeapAllocator::Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function)
{
    Lock();
    if (size == 0)
        size = 1;
    const U8* pPrevious = m_arena.GetCurrent();
    void* p = m_arena.Allocate(size, alignment, file, line, function);
    const U32 padding = p ? static_cast<U32>(static_cast<U8*>(p) - pPrevious) : 0;
    // A failure that is reported releases the lock inside PostAllocate (so that the
    // report can stop in a debugger without blocking other threads).
    const bool releasedByReport = !p && WillAssertOnFailure();
    PostAllocate(p, size, alignment, padding, file, line, function);
    if (!releasedByReport)
        Unlock();
    return p;
}

void HeapAllocator::Free(void* p, const char* file, U32 line, const char* function) {}

bool HeapAllocator::IsInitialized()
{
    return m_pBuffers[0] != nullptr;
}

bool HeapAllocator::IsValidPtr(const void* p)
{
    return m_arena.IsValidPtr(p);
}

bool HeapAllocator::IsPtrInRange(const void* p)
{
    return m_arena.IsPtrInRange(p);
}

bool HeapAllocator::IsPtrInBuffers(const void* p, U32 numBuffers) const
{
    const U8* pByte = static_cast<const U8*>(p);
    for (U32 i = 0; i < numBuffers; ++i)
    {
        if (m_pBuffers[i] && pByte >= m_pBuffers[i] && pByte < m_pBuffers[i] + m_bufferSize)
            return true;
    }
    return false;
}

bool HeapAllocator::IsPtrInDoubleFrameRange(const void* p)
{
    return IsPtrInBuffers(p, 2);
}

bool HeapAllocator::IsPtrInTripleFrameRange(const void* p)
{
    return IsPtrInBuffers(p, 3);
}

bool HeapAllocator::CanAllocate(U64 size, U64 alignment)
{
    return m_arena.CanAllocate(size, alignment);
}

void* HeapAllocator::GetMemoryBase()
{
    return m_pBuffers[0];
}

U64 HeapAllocator::GetTotalSize()
{
    return m_bufferSize;
}

U64 HeapAllocator::GetFreeSize()
{
    return m_arena.GetFreeSize();
}

void HeapAllocator::UnmapMemory()
{
    OX_ASSERT(false);
}

void HeapAllocator::MapMemory()
{
    OX_ASSERT(false);
}

void HeapAllocator::ProcessReportRequest()
{
    if (m_reportRequest && m_pTracker)
        m_pTracker->PrintMemoryReport();
    m_reportRequest = 0;
}

HeapAllocatorWithOverflow::HeapAllocatorWithOverflow(Memory::Allocator* pOverflow, const char* name)
    : HeapAllocator(name), m_pOverflow(pOverflow)
{
    m_assertOnFailure = false;
}

void* HeapAllocatorWithOverflow::Allocate(U64 size, U64 alignment, const char* file, U32 line,
                                          const char* function)
{
    if (m_overflowBytes == 0)
    {
        void* p = HeapAllocator::Allocate(size, alignment, file, line, function);
        if (p)
            return p;
    }
    // Count what the arena would have needed had it been large enough, alignment slack
    // included, so that the owner can size the budget.
    const U32 used = static_cast<U32>(m_arena.GetCurrent() - m_arena.GetMemory()) + m_overflowBytes;
    const U32 slack = static_cast<U32>(RoundUp(used, alignment)) - used;
    m_overflowBytes += slack + static_cast<U32>(size);
    // Without an overflow allocator the request simply fails.
    return m_pOverflow ? m_pOverflow->Allocate(size, alignment, file, line, function) : nullptr;
}

void HeapAllocatorWithOverflow::Reset(bool keep)
{
    ReportUnsupported("HeapAllocatorWithOverflow::Reset", __LINE__);
}

bool HeapAllocatorWithOverflow::IsValidPtr(const void* p)
{
    ReportUnsupported("HeapAllocatorWithOverflow::IsValidPtr", __LINE__);
    return false;
}

bool HeapAllocatorWithOverflow::IsPtrInRange(const void* p)
{
    ReportUnsupported("HeapAllocatorWithOverflow::IsPtrInRange", __LINE__);
    return false;
}

bool HeapAllocatorWithOverflow::CanAllocate(U64 size, U64 alignment)
{
    ReportUnsupported("HeapAllocatorWithOverflow::CanAllocate", __LINE__);
    return false;
}

CustomAllocateJanitor::CustomAllocateJanitor(U32 memoryMapId, const char* file, U32 line,
                                             const char* function, bool quiet)
    : m_sourceFile(file), m_sourceFunction(function), m_sourceLine(line), m_quiet(quiet)
{
    const Memory::Context context = Memory::GetMemoryMapContext(memoryMapId);
    const U64 size = static_cast<U64>(Memory::GetMemoryMapSize(memoryMapId));
    void* pMemory = new (context, kAlign128) U8[size];
    OX_ASSERT(pMemory);
    m_pOwnedBlock = pMemory;
    m_ownedBlockContext = context;
    Init(pMemory, size);
    Memory::PushAllocator(this, file, line, function);
}

CustomAllocateJanitor::CustomAllocateJanitor(void* mem, U64 size, const char* file, U32 line,
                                             const char* function, bool quiet)
    : m_sourceFile(file), m_sourceFunction(function), m_sourceLine(line), m_quiet(quiet)
{
    Init(mem, size);
    Memory::PushAllocator(this, file, line, function);
}

CustomAllocateJanitor::~CustomAllocateJanitor()
{
    const U64 freeSize = GetFreeSize();
    if (freeSize > kWasteWarningBytes && !m_quiet)
    {
        SetActiveMsgOutput(kMsgChannelInfo);
        PrintToActiveMsgOutput("%.3f MiB of wasted memory in custom allocator! %s:%u - %s\n",
                               static_cast<double>(static_cast<F32>(freeSize) * (1.0f / 1048576.0f)),
                               m_sourceFile, m_sourceLine, m_sourceFunction);
    }
    Memory::PopAllocator();
    // The block taken from the memory map's context goes back there.
    if (m_pOwnedBlock)
        Memory::FreeInContext(m_pOwnedBlock, m_ownedBlockContext, m_sourceFile, m_sourceLine,
                              m_sourceFunction);
}

CheckedExactHeapAllocatorJanitor::CheckedExactHeapAllocatorJanitor(U32 memoryMapId, const char* file,
                                                                   U32 line, const char* function)
    : HeapAllocatorWithOverflow(Memory::GetAllocator(Memory::kAllocDevCpu)), m_sourceFile(file),
      m_sourceFunction(function), m_sourceLine(line)
{
    const Memory::Context context = Memory::GetMemoryMapContext(memoryMapId);
    const U64 size = static_cast<U64>(Memory::GetMemoryMapSize(memoryMapId));
    const Alignment alignment = Memory::GetMemoryMapAlignment(memoryMapId);
    void* pMemory = new (context, alignment) U8[size];
    OX_ASSERT(pMemory);
    m_pOwnedBlock = pMemory;
    m_ownedBlockContext = context;
    Init(pMemory, size);
    Memory::PushAllocator(this, file, line, function);
}

CheckedExactHeapAllocatorJanitor::CheckedExactHeapAllocatorJanitor(void* mem, U64 size, const char* file,
                                                                   U32 line, const char* function)
    : HeapAllocatorWithOverflow(Memory::GetAllocator(Memory::kAllocDevCpu)), m_sourceFile(file),
      m_sourceFunction(function), m_sourceLine(line)
{
    Init(mem, size);
    Memory::PushAllocator(this, file, line, function);
}

CheckedExactHeapAllocatorJanitor::~CheckedExactHeapAllocatorJanitor()
{
    const U64 required = m_overflowBytes + static_cast<U64>(m_arena.GetCurrent() - m_arena.GetMemory());
    const U64 requiredRounded = RoundUp(required, 1024);
    const U64 totalSize = GetTotalSize();
    Memory::PopAllocator();
    if (m_pOwnedBlock)
        Memory::FreeInContext(m_pOwnedBlock, m_ownedBlockContext, m_sourceFile, m_sourceLine,
                              m_sourceFunction);
    if (required <= totalSize && requiredRounded >= totalSize)
        return;
    SetActiveMsgOutput(kMsgChannelInfo);
    PrintToActiveMsgOutput(
        "CheckedExactHeapAllocatorJanitor: Required size is %.0f Kb / %.3f MiB. (%s:%u - %s)\n",
        static_cast<double>(static_cast<F32>(requiredRounded) * (1.0f / 1024.0f)),
        static_cast<double>(static_cast<F32>(requiredRounded) * (1.0f / 1048576.0f)), m_sourceFile,
        m_sourceLine, m_sourceFunction);
    // The memory map budget must lie between the real need and that need raised to 1 KiB.
    OX_ASSERT(false);
}
