// The consistency checks of MemoryPoolMalloc: the full validator, the debug switch that
// runs it around every operation of one context's pool, and the failure report.
#include "corelib/memory/allocator.h"
#include "corelib/memory/bigmalloc.h"
#include "corelib/memory/memory-map.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"

#include <atomic>
#include <cinttypes>

namespace
{
using Node = MemoryPoolMalloc::Node;

inline U32 Magnitude(I32 size)
{
    return size < 0 ? 0u - static_cast<U32>(size) : static_cast<U32>(size);
}

inline const Node* Offset(const Node* pNode, I64 bytes)
{
    return reinterpret_cast<const Node*>(reinterpret_cast<const U8*>(pNode) + bytes);
}
} // namespace

void MemoryPoolMalloc::SetValidationContext(U32 context)
{
    s_validationContext.store(context, std::memory_order_relaxed);
}

U32 MemoryPoolMalloc::GetValidationContext()
{
    return s_validationContext.load(std::memory_order_relaxed);
}

bool MemoryPoolMalloc::WantsDebugValidation() const
{
    const U32 context = s_validationContext.load(std::memory_order_relaxed);
    if (context == 0)
        return false;
    // The pool is the first member after the allocator base of the class that embeds it.
    Memory::Allocator* pAllocator = Memory::GetAllocator(Memory::Context(context));
    if (!pAllocator)
        return false;
    constexpr U64 kPoolOffset = (sizeof(Memory::Allocator) + alignof(MemoryPoolMalloc) - 1) &
                                ~static_cast<U64>(alignof(MemoryPoolMalloc) - 1);
    return reinterpret_cast<const U8*>(pAllocator) + kPoolOffset == reinterpret_cast<const U8*>(this);
}

void MemoryPoolMalloc::ReportValidationFailure(const void* pNode, const char* message)
{
    // Switched off while reporting so that the trackers' own work does not validate again.
    const U32 savedContext = s_validationContext.exchange(0, std::memory_order_relaxed);
    const Memory::Context reportContexts[] = {Memory::kAllocAppCpu, Memory::kAllocAppCpu,
                                              Memory::kAllocAnimation};
    for (const Memory::Context& context : reportContexts)
    {
        Memory::Allocator* pAllocator = Memory::GetAllocator(context);
        if (pAllocator && pAllocator->GetTracker())
            pAllocator->GetTracker()->PrintMemoryReport();
    }
    s_validationContext.store(savedContext, std::memory_order_relaxed);
    SetActiveMsgOutput(kMsgChannelError);
    PrintError("###### ERROR WHEN VALIDATING MEMORY POOL NODE @ %012" PRIX64 " (%s)######",
               static_cast<U64>(reinterpret_cast<UPtr>(pNode)), message);
    OX_ASSERT_FAIL("%s", message);
}

bool MemoryPoolMalloc::Validate()
{
    if (!m_pMem)
        return true;
    const U8* pMemBegin = m_pMem;
    // Every node, the end node included, starts at most at the end node's address.
    const U8* pLastNodeStart = m_pMem + m_memSize - sizeof(Node);
    const auto isBefore = [&](const Node* p) { return reinterpret_cast<const U8*>(p) < pMemBegin; };
    const auto isOutside = [&](const Node* p) { return reinterpret_cast<const U8*>(p) > pLastNodeStart; };
    const auto fail = [&](const void* p, const char* message)
    {
        ReportValidationFailure(p, message);
        return false;
    };

    // 1. The node chain in address order.
    U64 allocSize = 0;
    U64 freeSize = 0;
    U64 overheadSize = 0;
    I32 numAllocated = 0;
    I32 numFree = 0;
    const Node* pPrevNode = nullptr;
    const Node* pNode = reinterpret_cast<const Node*>(m_pMem);
    for (;;)
    {
        if (isBefore(pNode))
            return fail(pNode, "pNode is before memory range");
        if (isOutside(pNode))
            return fail(pNode, "pNode is outside of memory range");
        if (pNode->m_header.m_magic != m_magic)
            return fail(pNode, "Magic corrupted");
        if (pNode->m_header.m_prevSize != kSentinel && pPrevNode &&
            pPrevNode->m_header.m_size != pNode->m_header.m_prevSize)
            return fail(pNode, "PrevSize != PrevNode->Size");
        if (pNode->m_header.m_size == kSentinel)
            break;
        const I32 size = pNode->m_header.m_size;
        const Node* pNextNode = Offset(pNode, Magnitude(size));
        if (!pNextNode)
            return fail(pNode, "NextNode is NULL");
        if (size == 0)
            return fail(pNode, "Size is 0");
        if (isOutside(pNextNode))
            return fail(pNextNode, "pNode is outside of memory range");
        // A size stomped off the 8-byte node grid points between headers: there is no next
        // header to read, so it is reported as one without the magic.
        if ((Magnitude(size) & 7) != 0 || pNextNode->m_header.m_magic != m_magic)
            return fail(pNode, "NextNode Magic is corrupted");
        if (size > 0)
        {
            if (pNextNode->m_header.m_size > 0 && pNextNode->m_header.m_size != kSentinel)
                return fail(pNode, "A free block must be followed by an allocated block");
            freeSize += static_cast<U32>(size);
            overheadSize += sizeof(Node);
            ++numFree;
        }
        else
        {
            allocSize += Magnitude(size);
            overheadSize += sizeof(NodeHeader);
            ++numAllocated;
        }
        pPrevNode = pNode;
        pNode = pNextNode;
    }
    const Node* pEndNode = pNode;
    overheadSize += sizeof(Node);

    // 2. The running totals.
    if (allocSize != m_allocSize)
        return fail(pEndNode, "AllocSize != m_allocSize");
    if (freeSize != m_freeSize)
        return fail(pEndNode, "FreeSize != m_freeSize");
    if (overheadSize != m_overheadSize)
        return fail(pEndNode, "overheadSize != m_overheadSize");
    if (static_cast<U64>(m_allocSize) + m_freeSize + sizeof(Node) != m_memSize)
        return fail(pEndNode, "Sizes don't add up");
    if (static_cast<U64>(m_overheadSize) != sizeof(NodeHeader) * static_cast<U64>(numAllocated) +
                                                sizeof(Node) * static_cast<U64>(numFree) + sizeof(Node))
        return fail(pEndNode, "Overhead size is not correct");
    if (numAllocated + 1 != m_numAllocationUnits)
        return fail(pEndNode, "Alloc node count is not correct");
    if (numFree != m_numFreeAllocationUnits)
        return fail(pEndNode, "Free alloc node count is not correct");

    // 3 and 4 check each listed node the same way; only the texts differ by direction.
    struct FreeNodeTexts
    {
        const char* m_magic;
        const char* m_size;
        const char* m_prevSize;
        const char* m_nextPrevSize;
    };
    const auto checkFreeNode = [&](const Node* p, const FreeNodeTexts& texts) -> const char*
    {
        if (isBefore(p))
            return "(Free) pNode is before memory range";
        if (isOutside(p))
            return "(Free) pNode is outside of memory range";
        if (p->m_header.m_magic != m_magic)
            return texts.m_magic;
        if (p->m_header.m_size <= 0)
            return texts.m_size;
        if (p->m_header.m_prevSize != kSentinel)
        {
            const Node* pPrev = Offset(p, -static_cast<I64>(Magnitude(p->m_header.m_prevSize)));
            if (isBefore(pPrev) || pPrev->m_header.m_size != p->m_header.m_prevSize)
                return texts.m_prevSize;
        }
        const Node* pNext = Offset(p, p->m_header.m_size);
        if (isOutside(pNext) || pNext->m_header.m_prevSize != p->m_header.m_size)
            return texts.m_nextPrevSize;
        return nullptr;
    };

    // 3. The free list forward. The count bound stops a walk caught in a cycle.
    const FreeNodeTexts forwardTexts = {"Magic is corrupted", "Free node did not have positive size",
                                        "prevSize != prevNode->size", "size != nextNode->prevSize"};
    I32 numTraversed = 0;
    for (pNode = m_freeList.m_pNext; pNode && pNode->m_header.m_size != kSentinel && numTraversed <= numFree;
         pNode = pNode->m_pNext, ++numTraversed)
    {
        if (const char* message = checkFreeNode(pNode, forwardTexts))
            return fail(pNode, message);
    }
    if (numTraversed != numFree)
        return fail(pEndNode, "(Trav) FreeNodes != FreeNodesTraversed");

    // 4. The free list backward from the end node.
    const FreeNodeTexts backwardTexts = {
        "(Trav) Magic is corrupted", "All free list objects sizes need to be positive",
        "(Trav) prevSize != prevNode->size", "(Trav) size != nextNode->prevSize"};
    I32 numBackward = 0;
    for (pNode = pEndNode->m_pPrev; pNode && pNode != &m_freeList && numBackward <= numFree;
         pNode = pNode->m_pPrev, ++numBackward)
    {
        if (const char* message = checkFreeNode(pNode, backwardTexts))
            return fail(pNode, message);
    }
    if (numBackward != numFree)
        return fail(pEndNode, "Not all free nodes are accounted for");
    return true;
}
