#include "corelib/memory/memory-area.h"

#include "corelib/memory/memory-area-platform.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/static-init-order.h"

#include <cinttypes>
#include <cstring>

namespace Memory
{
Area g_memoryAreas[kNumMemoryAreas] OX_INIT_PRIORITY(kInitRankMemoryAreas);

bool Area::CheckSpan(U64 addr, U64 sizeMB) const
{
    OX_ASSERT(addr >= m_startAddr);
    const bool inside = addr >= m_startAddr && sizeMB <= m_addrSizeMB &&
                        addr - m_startAddr <= (m_addrSizeMB - sizeMB) * ONE_MEGA_BYTE;
    OX_ASSERT_AS(inside,
                        "(addr + sizeMB * ONE_MEGA_BYTE) <= (m_startAddr + m_addrSizeMB * ONE_MEGA_BYTE)");
    return inside;
}

Area::Area() : m_addrSizeMB(0), m_startAddr(0), m_value(0), m_physicalPageIds(), m_external(0) {}

void Area::Initialize(U64 addrSize, bool external, U64 value)
{
    OX_ASSERT(IsSizeAligned(addrSize, kAlign1M));
    // The page identifier table has one entry per MiB and no more.
    OX_ASSERT(addrSize / ONE_MEGA_BYTE <= kMaxSizeMB);
    // A second range would strand the first one.
    OX_ASSERT(m_startAddr == 0);
    m_value = value;
    m_addrSizeMB = addrSize / ONE_MEGA_BYTE;
    m_external = external ? 1 : 0;
    if (addrSize != 0 && !external)
        m_startAddr = AllocateVirtualMemoryAddressRange(addrSize, kVirtualBlockSize);
}

void Area::AllocateMemory(U64 addr, U64 sizeMB, bool zero)
{
    if (!CheckSpan(addr, sizeMB))
        return;
    if (sizeMB == 0 || m_external)
        return;
    const U64 expectedAddr = addr;
    const U64 size = sizeMB * ONE_MEGA_BYTE;
    // The area keeps its start: a commit further in must not move the range that later
    // checks, FreeMemory and Shutdown work on.
    const U64 committedAddr = CommitAddressSpace(addr, size);
    const int error = committedAddr == expectedAddr ? 0 : GetLastAddressSpaceError();
    OX_ASSERT_MSG(expectedAddr == committedAddr, "Expected 0x%016" PRIX64 ", got 0x%016" PRIX64 ", error %d",
                  expectedAddr, committedAddr, error);
    if (committedAddr != expectedAddr)
        return;
    if (zero)
        std::memset(reinterpret_cast<void*>(addr), 0, size);
}

void Area::FreeMemory(U64 addr, U64 sizeMB)
{
    if (!CheckSpan(addr, sizeMB))
        return;
    // Nothing was committed for these; and a decommit of size 0 would, on Windows, take
    // the whole reservation around addr.
    if (sizeMB == 0 || m_external)
        return;
    const bool ret = DecommitAddressSpace(addr, sizeMB * ONE_MEGA_BYTE);
    OX_ASSERT(ret);
}

U64 Area::GetPhysicalPageId(U64 megaByteAddrIndex) const
{
    // Index m_addrSizeMB is already past the area (and, for a full-size area, the table).
    OX_ASSERT(megaByteAddrIndex < m_addrSizeMB);
    if (megaByteAddrIndex >= kMaxSizeMB)
        return 0;
    return m_physicalPageIds[megaByteAddrIndex];
}

void Area::Shutdown()
{
    if (m_startAddr == 0 || m_addrSizeMB == 0)
        return;
    FreeMemory(m_startAddr, m_addrSizeMB);
    ReleaseVirtualMemoryAddressRange(m_startAddr, m_addrSizeMB * ONE_MEGA_BYTE);
    m_startAddr = 0;
    m_addrSizeMB = 0;
}
} // namespace Memory
