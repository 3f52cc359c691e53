#include "corelib/memory/virtual-range.h"

#include "corelib/memory/memory-area-platform.h"
#include "corelib/system/atomic-lock.h"
#include "corelib/util/bit-array.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/static-init-order.h"

#include <cinttypes>

namespace Memory
{
U64 kVirtualMemStart = kDefaultVirtualMemStart;

namespace
{
// Bit i is set while block i of the window is handed out.
BitArray<kVirtualBlocksCount> s_virtualBlocks;

// Whether the window is reserved; changed only by the start-up and shut-down calls.
bool s_windowReserved = false;

// The lock guarding s_virtualBlocks, made usable by the static construction.
struct VirtualRangeLock
{
    VirtualRangeLock() { m_lock.Init(); }
    OxAtomicLock m_lock;
};
VirtualRangeLock s_virtualRangeLock OX_INIT_PRIORITY(kInitRankMemoryAreaRangeLock);

inline bool IsAddressAligned(U64 addr, Alignment alignment)
{
    return (addr & (static_cast<U64>(alignment) - 1)) == 0;
}

// Blocks covering size bytes (size > 0).
inline U64 BlocksFor(U64 size)
{
    return ((size - 1) / kVirtualBlockSize) + 1;
}
} // namespace

void FindAvailableVirtualMemoryStartAddress()
{
    // A second window would strand the first one, which nothing could release any more.
    OX_ASSERT(!s_windowReserved);
    // Ranges are block-aligned only when the window is.
    OX_ASSERT(IsAddressAligned(kVirtualMemStart, Alignment(kVirtualBlockSize)));

    const U64 firstCandidate = kVirtualMemStart;
    U64 obtained = 0;
    for (U32 i = 0; i < kVirtualMemStartTries; ++i)
    {
        const U64 candidate = firstCandidate + i * kVirtualMemStartStride;
        if (ReserveAddressSpaceAt(candidate, kVirtualWindowSize))
        {
            obtained = candidate;
            break;
        }
    }
    if (obtained == 0)
    {
        OX_ASSERT_FAIL("Coudln't find any available virtual memory start addresses after %d tries\n",
                       static_cast<int>(kVirtualMemStartTries));
        return;
    }
    kVirtualMemStart = obtained;
    s_windowReserved = true;

    const VirtualMemorySystemInfo systemInfo = GetVirtualMemorySystemInfo();
    OX_ASSERT_MSG(kVirtualMemStart >= (uintptr_t)systemInfo.lpMinimumApplicationAddress,
                  "kVirtualMemStart (0x%" PRIX64 ") not in expected range (> 0x%" PRIX64 ")",
                  kVirtualMemStart,
                  static_cast<U64>(reinterpret_cast<uintptr_t>(systemInfo.lpMinimumApplicationAddress)));
    OX_ASSERT_MSG(kVirtualBlockSize % systemInfo.dwAllocationGranularity == 0,
                  "kVirtualBlockSize (0x%" PRIX64
                  ") is not a multiple of system allocation granularity (0x%" PRIX64 ")",
                  kVirtualBlockSize, systemInfo.dwAllocationGranularity);
    OX_ASSERT_MSG(kVirtualBlockSize % systemInfo.dwPageSize == 0,
                  "kVirtualBlockSize (0x%" PRIX64 ") is not a multiple of system page size (0x%" PRIX64 ")",
                  kVirtualBlockSize, systemInfo.dwPageSize);
}

bool ReleaseVirtualMemoryWindow()
{
    // Without a window there is nothing of ours at kVirtualMemStart; unmapping there could
    // take away someone else's memory.
    if (!s_windowReserved)
        return false;
    if (!ReleaseAddressSpace(kVirtualMemStart, kVirtualWindowSize))
        return false;
    s_windowReserved = false;
    return true;
}

bool IsVirtualMemoryWindowReserved()
{
    return s_windowReserved;
}

U64 AllocateVirtualMemoryAddressRange(U64 size, U64 addressAlignment)
{
    OX_ASSERT(addressAlignment <= kVirtualBlockSize);
    // An empty range has no block to stand for it.
    OX_ASSERT(size > 0);

    OX_ATOMIC_LOCK_SCOPE(s_virtualRangeLock.m_lock);
    const U64 numBlocksNeeded = BlocksFor(size);
    // Not found is -1, which as an unsigned index lies past every block.
    const U64 iFirstBlock = static_cast<U64>(
        s_virtualBlocks.FindFirstNClearBitsByBlock(numBlocksNeeded, 0, s_virtualBlocks.GetNumBlocks() - 1));
    OX_ASSERT_MSG(iFirstBlock < kVirtualBlocksCount,
                  "We are out of virtual address space. kVirtualBlocksCount needs to be bumped");
    if (iFirstBlock >= kVirtualBlocksCount)
        return 0;
    s_virtualBlocks.SetBitRange(iFirstBlock, iFirstBlock + numBlocksNeeded - 1);
    return kVirtualMemStart + iFirstBlock * kVirtualBlockSize;
}

void ReleaseVirtualMemoryAddressRange(U64 addr, U64 size)
{
    OX_ASSERT(IsAddressAligned(addr, Alignment(kVirtualBlockSize)));
    OX_ASSERT(size > 0);
    const U64 iFirstBlock = (addr - kVirtualMemStart) / kVirtualBlockSize;
    const U64 numBlocksNeeded = BlocksFor(size);
    const U64 iLastBlock = iFirstBlock + numBlocksNeeded - 1;
    OX_ASSERT(iFirstBlock < kVirtualBlocksCount);
    OX_ASSERT(iLastBlock < kVirtualBlocksCount);
    if (iFirstBlock >= kVirtualBlocksCount || iLastBlock >= kVirtualBlocksCount)
        return;

    // The check reads the bits, so it runs under the lock too: another thread may be
    // changing them.
    OX_ATOMIC_LOCK_SCOPE(s_virtualRangeLock.m_lock);
    // clang-format off
    OX_ASSERT(s_virtualBlocks.IsBitRangeAllSet(iFirstBlock, iFirstBlock+numBlocksNeeded-1));
    // clang-format on
    s_virtualBlocks.ClearBitRange(iFirstBlock, iLastBlock);
}

bool IsValidVirtualAddres(U64 addr)
{
    const U64 iBlock = (addr - kVirtualMemStart) / kVirtualBlockSize;
    if (iBlock >= kVirtualBlocksCount)
        return false;
    OX_ATOMIC_LOCK_SCOPE(s_virtualRangeLock.m_lock);
    return s_virtualBlocks.IsBitSet(iBlock);
}
} // namespace Memory
