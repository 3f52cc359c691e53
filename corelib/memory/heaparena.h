// HeapArena: a bump allocator over one block. Allocation moves a current pointer forward
// past the aligned request; nothing is freed individually; the arena is rewound as a
// whole (Reset, Init) or to a position taken earlier (SetCurrent). No per-allocation
// header is written.
#pragma once

#include "corelib/system/atomic-lock.h"
#include "corelib/system/platform/platform.h"
#include "corelib/util/types.h"

class HeapArena
{
public:
    // Flag bits and size share one word.
    struct Info
    {
        U64 m_quiet : 1; // no out-of-memory report
        U64 m_flag : 1;  // a second flag kept across Init
        U64 m_size : 62; // block size in bytes
    };
    static_assert(sizeof(Info) == 8, "the arena info is one 64-bit word");

    // Starts over the block: current at its start; the flags and the peak stay.
    void Init(void* mem, U64 size);
    // Returns size bytes (0 counts as 1) aligned to alignment, or null (with the
    // out-of-memory report unless quiet) when the block has no room.
    void* Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function);
    // True when Allocate(size, alignment) would succeed now.
    bool CanAllocate(U64 size, U64 alignment) const;
    // True when p lies in the block.
    bool IsPtrInRange(const void* p) const;
    // True when p lies in the part of the block handed out so far.
    bool IsValidPtr(const void* p) const;
    // Rewinds to the start of the block.
    void Reset();
    // Moves the current position (an address inside the block or its end).
    void SetCurrent(U64 newCurrentAddress);
    // Zeroes every field.
    void Clear();
    // Adds delta to the start and current pointers that lie in [low, high).
    void Relocate(I64 delta, U64 low, U64 high);
    // Makes Allocate take the arena's own lock.
    void SetThreadSafe(bool threadSafe);
    // Suppresses (or re-enables) the out-of-memory report.
    void SetQuiet(bool quiet) { m_info.m_quiet = quiet ? 1 : 0; }

    U8* GetMemory() const { return m_pMemory; }
    U8* GetCurrent() const { return m_pCurrent; }
    U64 GetSize() const { return m_info.m_size; }
    U64 GetFreeSize() const { return static_cast<U64>(m_pMemory + m_info.m_size - m_pCurrent); }
    // The highest used size seen (bytes from the start to current); the block size after a failure.
    U32 GetPeak() const
    {
        const U32 used = static_cast<U32>(m_pCurrent - m_pMemory);
        return used > m_peak ? used : m_peak;
    }
    bool IsQuiet() const { return m_info.m_quiet != 0; }

private:
    void* AllocateNoLock(U64 size, U64 alignment, const char* file, U32 line, const char* function);
    // Folds the usage reached so far into the peak before current moves back.
    void NotePeak() { m_peak = GetPeak(); }
    OX_COLD void* AllocateFailed(UPtr aligned, U64 size, U64 alignment, const char* file, U32 line,
                                 const char* function);

    U8* m_pMemory = nullptr;
    U8* m_pCurrent = nullptr;
    Info m_info{0, 0, 0};
    U32 m_peak = 0;
    OxAtomicLock m_lock;
    U64 m_reserved[2] = {0, 0};
    bool m_isThreadSafe = false;
};

// The common case stays inline: an aligned pointer increment and one bounds test. The
// peak is not updated here: current only grows between rewinds, so the peak is folded in
// when the arena is rewound and when it is read.
inline void* HeapArena::AllocateNoLock(U64 size, U64 alignment, const char* file, U32 line,
                                       const char* function)
{
    size += (size == 0);
    // Alignment 0 gives an all-ones mask and a start of 0, which fails the test below;
    // the out-of-line path then retries it as alignment 1.
    const U64 mask = alignment - 1;
    const UPtr current = reinterpret_cast<UPtr>(m_pCurrent);
    const UPtr aligned = (current + mask) & ~mask;
    const U64 blockSize = m_info.m_size;
    // Compared as offsets, never forming aligned + size (which could wrap for huge
    // requests); an aligned start that wrapped lies below the block: a huge offset.
    const U64 offset = aligned - reinterpret_cast<UPtr>(m_pMemory);
    if (OX_LIKELY((offset <= blockSize) & (size <= blockSize - offset)))
    {
        m_pCurrent = reinterpret_cast<U8*>(aligned + size);
        return reinterpret_cast<void*>(aligned);
    }
    return AllocateFailed(aligned, size, alignment, file, line, function);
}

inline void* HeapArena::Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function)
{
    if (OX_LIKELY(!m_isThreadSafe))
        return AllocateNoLock(size, alignment, file, line, function);
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    return AllocateNoLock(size, alignment, file, line, function);
}
