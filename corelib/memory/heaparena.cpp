#include "corelib/memory/heaparena.h"

#include "corelib/system/timing.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"

#include <cinttypes>
#include <cstdio>

void HeapArena::Init(void* mem, U64 size)
{
    NotePeak();
    m_pMemory = static_cast<U8*>(mem);
    m_pCurrent = m_pMemory;
    m_info.m_size = size;
    m_reserved[0] = 0;
    m_reserved[1] = 0;
}

void* HeapArena::AllocateFailed(UPtr aligned, U64 size, U64 alignment, const char* file, U32 line,
                                const char* function)
{
    if (alignment == 0)
        return AllocateNoLock(size, 1, file, line, function);
    // The peak marks the arena as having been full, so budget reports show the shortage.
    m_peak = static_cast<U32>(m_info.m_size);
    if (m_info.m_quiet)
        return nullptr;
    const UPtr memory = reinterpret_cast<UPtr>(m_pMemory);
    const UPtr limit = memory + m_info.m_size;
    // An alignment that pushes the start past the end leaves nothing remaining (not a
    // wrapped-around huge number).
    const U64 remaining = aligned <= limit ? limit - aligned : 0;
    char text[1024];
    std::snprintf(text, sizeof(text),
                  "HeapArena::Allocate: out of memory\n"
                  "   memory             = 0x%012" PRIX64 ",\n"
                  "   current            = 0x%012" PRIX64 ",\n"
                  "   requested size     = %" PRIu64 ",\n"
                  "   requested overflow = %" PRIu64 ",\n"
                  "   remaining          = %" PRIu64 ",\n"
                  "   total size         = %" PRIu64 "\n"
                  "\t sourceFile\t\t    = %s\n"
                  "\t sourceLine\t\t    = %d\n"
                  "\t sourceFunc\t\t    = %s\n\n",
                  static_cast<U64>(memory), static_cast<U64>(reinterpret_cast<UPtr>(m_pCurrent)), size,
                  static_cast<U64>(aligned + size - limit), remaining, static_cast<U64>(m_info.m_size),
                  file ? file : "(null)", static_cast<int>(line), function ? function : "(null)");
    // The text is passed as an argument, never as a format: source paths may hold '%'.
    if (IsDebuggerAttached())
        DebugPrintf("%s", text);
    std::fputs(text, stdout);
    std::fflush(stdout);
    return nullptr;
}

bool HeapArena::CanAllocate(U64 size, U64 alignment) const
{
    if (!m_pMemory)
        return false;
    const U64 mask = (alignment ? alignment : 1) - 1;
    const UPtr aligned = (reinterpret_cast<UPtr>(m_pCurrent) + mask) & ~mask;
    const U64 offset = aligned - reinterpret_cast<UPtr>(m_pMemory);
    return offset <= m_info.m_size && size <= m_info.m_size - offset;
}

bool HeapArena::IsPtrInRange(const void* p) const
{
    const U8* pByte = static_cast<const U8*>(p);
    return pByte >= m_pMemory && pByte < m_pMemory + m_info.m_size;
}

bool HeapArena::IsValidPtr(const void* p) const
{
    const U8* pByte = static_cast<const U8*>(p);
    return pByte >= m_pMemory && pByte < m_pCurrent;
}

void HeapArena::Reset()
{
    NotePeak();
    m_pCurrent = m_pMemory;
    m_reserved[0] = 0;
    m_reserved[1] = 0;
}

void HeapArena::SetCurrent(U64 newCurrentAddress)
{
    U8* const newCurrent = reinterpret_cast<U8*>(static_cast<UPtr>(newCurrentAddress));
    OX_ASSERT(m_pMemory <= newCurrent && newCurrent <= m_pMemory + m_info.m_size);
    NotePeak();
    m_pCurrent = newCurrent;
}

void HeapArena::Clear()
{
    m_pMemory = nullptr;
    m_pCurrent = nullptr;
    m_info = Info{0, 0, 0};
    m_peak = 0;
    m_lock.m_lock.store(0, std::memory_order_relaxed);
    m_lock.m_marker = 0;
    m_reserved[0] = 0;
    m_reserved[1] = 0;
    m_isThreadSafe = false;
}

void HeapArena::Relocate(I64 delta, U64 low, U64 high)
{
    const auto relocate = [&](U8*& p)
    {
        const U64 address = reinterpret_cast<UPtr>(p);
        if (address >= low && address < high)
            p = reinterpret_cast<U8*>(static_cast<UPtr>(address + static_cast<U64>(delta)));
    };
    relocate(m_pMemory);
    relocate(m_pCurrent);
}

void HeapArena::SetThreadSafe(bool threadSafe)
{
    if (threadSafe)
        m_lock.Init();
    m_isThreadSafe = threadSafe;
}
