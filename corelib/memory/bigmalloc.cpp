#include "corelib/memory/bigmalloc.h"

#include "corelib/math/random.h"
#include "corelib/util/msg-assert.h"

#include <cstring>

namespace
{
constexpr U32 kAllocNodeOverhead = sizeof(MemoryPoolMalloc::NodeHeader);
constexpr U32 kFreeNodeOverhead = sizeof(MemoryPoolMalloc::Node);
constexpr U32 kEndNodeSize = sizeof(MemoryPoolMalloc::Node);
// A front remainder smaller than this stays with the allocation instead of becoming a
// free node of its own: the split would leave a fragment too small to be worth listing.
constexpr U64 kMinSplitRemainder = 64;
// Shrinking by less than this keeps the node as it is, for the same reason.
constexpr U32 kMinShrink = 64;

using Node = MemoryPoolMalloc::Node;
using NodeHeader = MemoryPoolMalloc::NodeHeader;

inline bool IsAddressAligned(UPtr address, U64 alignment)
{
    return (address & (alignment - 1)) == 0;
}

inline bool IsPowerOfTwo(U64 value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

// Magnitude of a boundary-tag size without overflow on corrupted values.
inline U32 Magnitude(I32 size)
{
    return size < 0 ? 0u - static_cast<U32>(size) : static_cast<U32>(size);
}

inline Node* NodeAt(void* p, U64 offset)
{
    return reinterpret_cast<Node*>(static_cast<U8*>(p) + offset);
}

inline Node* NodeBefore(void* p, U64 offset)
{
    return reinterpret_cast<Node*>(static_cast<U8*>(p) - offset);
}

inline Node* NodeOfUserPtr(const void* p)
{
    return reinterpret_cast<Node*>(const_cast<U8*>(static_cast<const U8*>(p)) - sizeof(NodeHeader));
}

inline bool IsFreeNodeSize(I32 size)
{
    return size > 0 && size != MemoryPoolMalloc::kSentinel;
}

// The user request as Malloc sees it: at least 16 bytes, a non-positive size counting as 1.
inline U64 EffectiveRequest(I32 size)
{
    const U64 request = size <= 0 ? 1 : static_cast<U64>(size);
    return request < 16 ? 16 : request;
}

// Where Malloc would place a request in a free node: the user start carved from the end
// of the node, and whether the node is usable (split or taken whole).
struct Fit
{
    UPtr m_userStart;
    U64 m_needed;
    bool m_split;
    bool m_fits;
};

inline Fit FindFit(UPtr nodeAddr, U64 nodeSize, U64 request, U64 alignment)
{
    Fit fit{0, 0, false, false};
    if (request + kAllocNodeOverhead > nodeSize)
        return fit;
    const UPtr end = nodeAddr + nodeSize;
    const UPtr start = (end - request) & ~(alignment - 1);
    const U64 needed = end - start + kAllocNodeOverhead;
    if (start > end || needed > nodeSize)
        return fit;
    const U64 remainder = nodeSize - needed;
    if (remainder >= kMinSplitRemainder)
    {
        fit.m_userStart = start;
        fit.m_needed = needed;
        fit.m_split = true;
        fit.m_fits = true;
    }
    else if (IsAddressAligned(nodeAddr + kAllocNodeOverhead, alignment))
    {
        fit.m_userStart = nodeAddr + kAllocNodeOverhead;
        fit.m_needed = nodeSize;
        fit.m_fits = true;
    }
    return fit;
}

inline U64 NormalisedAlignment(U64 alignment)
{
    return alignment < kAlign8 ? static_cast<U64>(kAlign8) : alignment;
}

// Holds the pool's lock for a public operation when the pool is thread safe.
class PoolLockScope
{
public:
    PoolLockScope(OxAtomicLock& lock, bool threadSafe, const char* function)
        : m_pLock(threadSafe ? &lock : nullptr)
    {
        if (m_pLock)
            m_pLock->AcquireLock(__FILE__, __LINE__, function);
    }
    ~PoolLockScope()
    {
        if (m_pLock)
            m_pLock->Release();
    }
    PoolLockScope(const PoolLockScope&) = delete;
    PoolLockScope& operator=(const PoolLockScope&) = delete;

private:
    OxAtomicLock* m_pLock;
};
} // namespace

MemoryPoolMalloc::MemoryPoolMalloc()
    : m_freeList{{0, 0, 0, 0}, nullptr, nullptr}, m_pMem(nullptr), m_memSize(0), m_freeSize(0),
      m_allocSize(0), m_overheadSize(0), m_peakAllocSize(0), m_numAllocationUnits(0),
      m_numFreeAllocationUnits(0), m_magic(0), m_isThreadSafe(false)
{
}

void MemoryPoolMalloc::Init(void* mem, I32 size)
{
    PoolLockScope lock(m_lock, m_isThreadSafe, __func__);
    OX_ASSERT(size < 0x7FFFFFFF);
    // The block must hold a free node and the end node, and every node address must stay
    // a multiple of 8 for the boundary tags to be read safely.
    OX_ASSERT(size >= static_cast<I32>(2 * sizeof(Node)));
    OX_ASSERT(IsPointerAligned(mem, kAlign8) && IsSizeAligned(static_cast<U64>(size), kAlign8));
    m_pMem = static_cast<U8*>(mem);
    m_memSize = static_cast<U32>(size);
    // A zero magic would look like a header removed by merging.
    do
    {
        m_magic = GlobalNextU32();
    } while (m_magic == 0);

    m_freeList.m_header.m_prevSize = kSentinel;
    m_freeList.m_header.m_size = kSentinel;
    m_freeList.m_header.m_magic = m_magic;
    m_freeList.m_header.m_userData = 0;
    m_freeList.m_pPrev = nullptr;
    OX_ASSERT(m_memSize - static_cast<U32>(sizeof(Node)) <= static_cast<U32>(-(kSentinel + 1)));

    const I32 freeSize = size - static_cast<I32>(kEndNodeSize);
    Node* pFree = reinterpret_cast<Node*>(m_pMem);
    Node* pEnd = NodeAt(m_pMem, static_cast<U64>(freeSize));
    pFree->m_header = {kSentinel, freeSize, m_magic, 0};
    pFree->m_pNext = pEnd;
    pFree->m_pPrev = &m_freeList;
    pEnd->m_header = {freeSize, kSentinel, m_magic, 0};
    pEnd->m_pNext = nullptr;
    pEnd->m_pPrev = pFree;
    m_freeList.m_pNext = pFree;

    m_freeSize = static_cast<U32>(freeSize);
    m_allocSize = 0;
    m_overheadSize = kFreeNodeOverhead + kEndNodeSize;
    m_peakAllocSize = 0;
    m_numAllocationUnits = 1;
    m_numFreeAllocationUnits = 1;
}

void MemoryPoolMalloc::Reinit()
{
    if (m_pMem)
        Init(m_pMem, static_cast<I32>(m_memSize));
}

void MemoryPoolMalloc::Shutdown()
{
    PoolLockScope lock(m_lock, m_isThreadSafe, __func__);
    m_freeList = Node{{0, 0, 0, 0}, nullptr, nullptr};
    m_pMem = nullptr;
    m_memSize = 0;
    m_freeSize = 0;
    m_allocSize = 0;
    m_overheadSize = 0;
    m_peakAllocSize = 0;
    m_numAllocationUnits = 0;
    m_numFreeAllocationUnits = 0;
    m_magic = 0;
}

void MemoryPoolMalloc::MakeThreadSafe()
{
    OX_ASSERT(!m_isThreadSafe);
    m_lock.Init();
    m_isThreadSafe = true;
}

void MemoryPoolMalloc::PushFront(Node* pNode)
{
    Node* pOldFirst = m_freeList.m_pNext;
    pNode->m_pNext = pOldFirst;
    pNode->m_pPrev = &m_freeList;
    pOldFirst->m_pPrev = pNode;
    m_freeList.m_pNext = pNode;
}

void MemoryPoolMalloc::Unlink(Node* pNode)
{
    pNode->m_pPrev->m_pNext = pNode->m_pNext;
    pNode->m_pNext->m_pPrev = pNode->m_pPrev;
}

void MemoryPoolMalloc::NoteAllocated(U32 bytes)
{
    m_allocSize += bytes;
    m_freeSize -= bytes;
    if (m_allocSize > m_peakAllocSize)
        m_peakAllocSize = m_allocSize;
}

bool MemoryPoolMalloc::IsUserPtrInPool(const void* p) const
{
    // A user address has its 16-byte header inside the block and lies before the end node.
    const U8* pUser = static_cast<const U8*>(p);
    return m_pMem && IsPointerAligned(p, kAlign8) && pUser >= m_pMem + sizeof(NodeHeader) &&
           pUser < m_pMem + m_memSize - kEndNodeSize;
}

void* MemoryPoolMalloc::Malloc(I32 size, U64 alignment, U32 userData)
{
    // The common case: no lock and no debug validation to consider.
    if (OX_LIKELY(!m_isThreadSafe && s_validationContext.load(std::memory_order_relaxed) == 0))
        return MallocNoLock(size, alignment, userData);
    PoolLockScope lock(m_lock, m_isThreadSafe, __func__);
    const bool validate = WantsDebugValidation();
    if (validate)
        Validate();
    void* p = MallocNoLock(size, alignment, userData);
    if (validate)
        Validate();
    return p;
}

OX_FORCEINLINE void* MemoryPoolMalloc::MallocNoLock(I32 size, U64 alignment, U32 userData)
{
    OX_ASSERT(m_freeList.m_pNext != 0);
    if (!m_pMem)
        return nullptr;
    alignment = NormalisedAlignment(alignment);
    OX_ASSERT(IsPowerOfTwo(alignment));
    const U64 request = EffectiveRequest(size);

    for (Node* pFreeNode = m_freeList.m_pNext; pFreeNode->m_header.m_size != kSentinel;
         pFreeNode = pFreeNode->m_pNext)
    {
        OX_ASSERT(pFreeNode->m_header.m_size > 0);
        OX_ASSERT(pFreeNode->m_header.m_magic == m_magic);
        const UPtr currentNodeAddr = reinterpret_cast<UPtr>(pFreeNode);
        const U64 nodeSize = static_cast<U64>(pFreeNode->m_header.m_size);
        const UPtr nextNodeAddr = currentNodeAddr + nodeSize;
        OX_ASSERT(IsAddressAligned(currentNodeAddr, kAlign8));
        OX_ASSERT(IsAddressAligned(nextNodeAddr, kAlign8));

        const Fit fit = FindFit(currentNodeAddr, nodeSize, request, alignment);
        if (!fit.m_fits)
            continue;

        Node* pNextNode = reinterpret_cast<Node*>(nextNodeAddr);
        Node* pAllocNode;
        if (fit.m_split)
        {
            // The free node keeps the front part and its place in the list.
            const I32 remainder = static_cast<I32>(nodeSize - fit.m_needed);
            const I32 needed = static_cast<I32>(fit.m_needed);
            pFreeNode->m_header.m_size = remainder;
            pAllocNode = reinterpret_cast<Node*>(fit.m_userStart - sizeof(NodeHeader));
            pAllocNode->m_header = {remainder, -needed, m_magic, userData};
            pNextNode->m_header.m_prevSize = -needed;
            NoteAllocated(static_cast<U32>(needed));
            m_overheadSize += kAllocNodeOverhead;
            m_numAllocationUnits += 1;
        }
        else
        {
            OX_ASSERT(pFreeNode->m_pPrev->m_pNext == pFreeNode);
            OX_ASSERT(pFreeNode->m_pNext->m_pPrev == pFreeNode);
            Unlink(pFreeNode);
            const I32 wholeSize = pFreeNode->m_header.m_size;
            pFreeNode->m_header.m_size = -wholeSize;
            pFreeNode->m_header.m_magic = m_magic;
            pFreeNode->m_header.m_userData = userData;
            pNextNode->m_header.m_prevSize = -wholeSize;
            NoteAllocated(static_cast<U32>(wholeSize));
            m_overheadSize -= kFreeNodeOverhead - kAllocNodeOverhead;
            m_numAllocationUnits += 1;
            m_numFreeAllocationUnits -= 1;
            pAllocNode = pFreeNode;
        }
        void* pAllocatedMem = reinterpret_cast<U8*>(pAllocNode) + sizeof(NodeHeader);
        OX_ASSERT(IsPointerAligned(pAllocatedMem, alignment));
        return pAllocatedMem;
    }
    return nullptr;
}

void MemoryPoolMalloc::Free(void* p)
{
    if (OX_LIKELY(!m_isThreadSafe && s_validationContext.load(std::memory_order_relaxed) == 0))
        return FreeNoLock(p);
    PoolLockScope lock(m_lock, m_isThreadSafe, __func__);
    const bool validate = WantsDebugValidation();
    if (validate)
        Validate();
    FreeNoLock(p);
    if (validate)
        Validate();
}

OX_FORCEINLINE void MemoryPoolMalloc::FreeNoLock(void* pMemToFree)
{
    OX_ASSERT(pMemToFree != nullptr);
    OX_ASSERT(m_freeList.m_pNext != 0);
    // A pointer from elsewhere would have its "header" read outside the block.
    OX_ASSERT(IsUserPtrInPool(pMemToFree));
    Node* pNodeToFree = NodeOfUserPtr(pMemToFree);
    OX_ASSERT(pNodeToFree->m_header.m_magic == m_magic);
    OX_ASSERT(pNodeToFree->m_header.m_size < 0);
    const I32 sizeOfNodeToFree = -pNodeToFree->m_header.m_size;
    OX_ASSERT(m_allocSize >= static_cast<U32>(sizeOfNodeToFree));
    m_allocSize -= static_cast<U32>(sizeOfNodeToFree);
    m_freeSize += static_cast<U32>(sizeOfNodeToFree);
    m_numAllocationUnits -= 1;
    OX_ASSERT(m_numAllocationUnits >= 0);

    Node* pNextNode = NodeAt(pNodeToFree, static_cast<U64>(sizeOfNodeToFree));
    const I32 prevSize = pNodeToFree->m_header.m_prevSize;
    if (IsFreeNodeSize(prevSize))
    {
        // Grow the free node before; it keeps its place in the list.
        Node* pPrevNode = NodeBefore(pNodeToFree, static_cast<U64>(prevSize));
        OX_ASSERT(pPrevNode->m_header.m_size == pNodeToFree->m_header.m_prevSize);
        pPrevNode->m_header.m_size += sizeOfNodeToFree;
        pNextNode->m_header.m_prevSize = pPrevNode->m_header.m_size;
        pNodeToFree->m_header.m_magic = 0;
        m_overheadSize -= kAllocNodeOverhead;
        pNodeToFree = pPrevNode;
    }
    else
    {
        OX_ASSERT(m_freeList.m_pNext->m_pPrev == &m_freeList);
        pNodeToFree->m_header.m_size = sizeOfNodeToFree;
        OX_ASSERT(pNodeToFree->m_header.m_size > 0);
        pNextNode->m_header.m_prevSize = sizeOfNodeToFree;
        PushFront(pNodeToFree);
        m_overheadSize += kFreeNodeOverhead - kAllocNodeOverhead;
        m_numFreeAllocationUnits += 1;
    }

    Node* pMergeNode = NodeAt(pNodeToFree, static_cast<U64>(pNodeToFree->m_header.m_size));
    if (IsFreeNodeSize(pMergeNode->m_header.m_size))
    {
        OX_ASSERT(pMergeNode->m_header.m_prevSize == pNodeToFree->m_header.m_size);
        OX_ASSERT(pMergeNode->m_pPrev->m_pNext == pMergeNode);
        OX_ASSERT(pMergeNode->m_pNext->m_pPrev == pMergeNode);
        Unlink(pMergeNode);
        pMergeNode->m_header.m_magic = 0;
        pNodeToFree->m_header.m_size += pMergeNode->m_header.m_size;
        NodeAt(pNodeToFree, static_cast<U64>(pNodeToFree->m_header.m_size))->m_header.m_prevSize =
            pNodeToFree->m_header.m_size;
        m_overheadSize -= kFreeNodeOverhead;
        OX_ASSERT(m_overheadSize >= sizeof(Node));
        m_numFreeAllocationUnits -= 1;
        OX_ASSERT(m_numFreeAllocationUnits >= 0);
    }
}

bool MemoryPoolMalloc::ResizeAlloc(void* p, I32 newSize)
{
    PoolLockScope lock(m_lock, m_isThreadSafe, __func__);
    const bool validate = WantsDebugValidation();
    if (validate)
        Validate();
    const bool resized = ResizeAllocNoLock(p, newSize);
    if (validate)
        Validate();
    return resized;
}

bool MemoryPoolMalloc::ResizeAllocNoLock(void* pAddr, I32 newSize)
{
    OX_ASSERT(newSize > 0);
    OX_ASSERT(pAddr != nullptr);
    OX_ASSERT(m_freeList.m_pNext != 0);
    OX_ASSERT(IsUserPtrInPool(pAddr));
    Node* pNodeToResize = NodeOfUserPtr(pAddr);
    OX_ASSERT(pNodeToResize->m_header.m_magic == m_magic);
    OX_ASSERT(pNodeToResize->m_header.m_size < 0);
    const U32 currentSize = Magnitude(pNodeToResize->m_header.m_size);
    Node* pNextNode = NodeAt(pNodeToResize, currentSize);
    OX_ASSERT(pNextNode->m_header.m_prevSize == pNodeToResize->m_header.m_size);

    const U64 wantedSize = ((EffectiveRequest(newSize) + 7) & ~U64{7}) + sizeof(NodeHeader);
    if (wantedSize == currentSize)
        return true;

    if (wantedSize > currentSize)
    {
        const U64 grow = wantedSize - currentSize;
        const I32 freeNodeSize = pNextNode->m_header.m_size;
        if (!IsFreeNodeSize(freeNodeSize) || static_cast<U64>(freeNodeSize) < grow)
            return false;
        OX_ASSERT(pNextNode->m_pPrev->m_pNext == pNextNode);
        OX_ASSERT(pNextNode->m_pNext->m_pPrev == pNextNode);
        Unlink(pNextNode);
        pNextNode->m_header.m_magic = 0;
        m_overheadSize -= kFreeNodeOverhead;
        m_numFreeAllocationUnits -= 1;
        Node* pFollower = NodeAt(pNextNode, static_cast<U64>(freeNodeSize));

        if (static_cast<U64>(freeNodeSize) - grow >= kMinSplitRemainder)
        {
            const I32 newAllocSize = static_cast<I32>(wantedSize);
            const I32 restSize = freeNodeSize - static_cast<I32>(grow);
            pNodeToResize->m_header.m_size = -newAllocSize;
            Node* pRest = NodeAt(pNodeToResize, wantedSize);
            pRest->m_header = {-newAllocSize, restSize, m_magic, 0};
            Node* pNewNextNode = pFollower;
            OX_ASSERT(pNewNextNode->m_header.m_prevSize == freeNodeSize);
            pNewNextNode->m_header.m_prevSize = restSize;
            PushFront(pRest);
            m_overheadSize += kFreeNodeOverhead;
            m_numFreeAllocationUnits += 1;
            NoteAllocated(static_cast<U32>(grow));
        }
        else
        {
            const I32 newAllocSize = static_cast<I32>(currentSize) + freeNodeSize;
            pNodeToResize->m_header.m_size = -newAllocSize;
            pFollower->m_header.m_prevSize = -newAllocSize;
            NoteAllocated(static_cast<U32>(freeNodeSize));
        }
        return true;
    }

    const U32 shrink = currentSize - static_cast<U32>(wantedSize);
    if (shrink < kMinShrink)
        return true;
    const I32 newAllocSize = static_cast<I32>(wantedSize);
    pNodeToResize->m_header.m_size = -newAllocSize;
    Node* pTail = NodeAt(pNodeToResize, wantedSize);
    pTail->m_header = {-newAllocSize, static_cast<I32>(shrink), m_magic, 0};
    Node* pFollower = pNextNode;
    if (IsFreeNodeSize(pFollower->m_header.m_size))
    {
        OX_ASSERT(pFollower->m_pPrev->m_pNext == pFollower);
        OX_ASSERT(pFollower->m_pNext->m_pPrev == pFollower);
        Unlink(pFollower);
        pFollower->m_header.m_magic = 0;
        pTail->m_header.m_size += pFollower->m_header.m_size;
        m_overheadSize -= kFreeNodeOverhead;
        m_numFreeAllocationUnits -= 1;
        pFollower = NodeAt(pTail, static_cast<U64>(pTail->m_header.m_size));
    }
    pFollower->m_header.m_prevSize = pTail->m_header.m_size;
    PushFront(pTail);
    m_overheadSize += kFreeNodeOverhead;
    m_numFreeAllocationUnits += 1;
    m_allocSize -= shrink;
    m_freeSize += shrink;
    return true;
}

void* MemoryPoolMalloc::Realloc(void* pAddr, U32 newSize, U64 alignment)
{
    PoolLockScope lock(m_lock, m_isThreadSafe, __func__);
    OX_ASSERT(newSize > 0);
    OX_ASSERT(pAddr != nullptr);
    OX_ASSERT(m_freeList.m_pNext != 0);
    OX_ASSERT(IsUserPtrInPool(pAddr));
    const NodeHeader* pNodeToResize = &NodeOfUserPtr(pAddr)->m_header;
    OX_ASSERT(pNodeToResize->m_magic == m_magic);
    OX_ASSERT(pNodeToResize->m_size < 0);
    alignment = NormalisedAlignment(alignment);
    // A request beyond the largest signed size can never be served by a pool under 2 GiB.
    if (!IsPointerAligned(pAddr, alignment) || newSize > 0x7FFFFFFFu)
        return nullptr;
    if (ResizeAllocNoLock(pAddr, static_cast<I32>(newSize)))
        return pAddr;
    void* pNew = MallocNoLock(static_cast<I32>(newSize), alignment, 0);
    if (!pNew)
        return nullptr;
    const U32 oldUserSize = Magnitude(pNodeToResize->m_size) - kAllocNodeOverhead;
    std::memcpy(pNew, pAddr, oldUserSize < newSize ? oldUserSize : newSize);
    FreeNoLock(pAddr);
    return pNew;
}

bool MemoryPoolMalloc::FitsInFreeNode(const Node* pNode, U64 size, U64 alignment) const
{
    return FindFit(reinterpret_cast<UPtr>(pNode), static_cast<U64>(pNode->m_header.m_size), size, alignment)
        .m_fits;
}

bool MemoryPoolMalloc::FreeCheckCanAlloc(void* p, I32 size, U64 alignment)
{
    PoolLockScope lock(m_lock, m_isThreadSafe, __func__);
    OX_ASSERT(p != nullptr);
    OX_ASSERT(IsUserPtrInPool(p));
    Node* pNode = NodeOfUserPtr(p);
    const I32 prevSize = pNode->m_header.m_prevSize;
    Node* pFreeNode = IsFreeNodeSize(prevSize) ? NodeBefore(pNode, static_cast<U64>(prevSize)) : pNode;
    FreeNoLock(p);
    OX_ASSERT(pFreeNode->m_header.m_magic == m_magic);
    OX_ASSERT(pFreeNode->m_header.m_size > 0);
    alignment = NormalisedAlignment(alignment);
    return FitsInFreeNode(pFreeNode, EffectiveRequest(size), alignment);
}

bool MemoryPoolMalloc::CanAlloc(I32 size, U64 alignment)
{
    PoolLockScope lock(m_lock, m_isThreadSafe, __func__);
    if (!m_freeList.m_pNext)
        return false;
    alignment = NormalisedAlignment(alignment);
    const U64 request = EffectiveRequest(size);
    for (const Node* pFreeNode = m_freeList.m_pNext; pFreeNode->m_header.m_size != kSentinel;
         pFreeNode = pFreeNode->m_pNext)
    {
        if (FitsInFreeNode(pFreeNode, request, alignment))
            return true;
    }
    return false;
}

MemoryPoolMalloc::FreeListTotals MemoryPoolMalloc::SumFreeList()
{
    PoolLockScope lock(m_lock, m_isThreadSafe, __func__);
    FreeListTotals totals{0, 0};
    for (const Node* pFreeNode = &m_freeList; pFreeNode->m_pNext;)
    {
        OX_ASSERT_MSG(!pFreeNode->m_pNext ||
                          pFreeNode->m_header.m_magic == pFreeNode->m_pNext->m_header.m_magic,
                      "MemoryPoolMalloc has been stomped on, very bad things have happened.");
        pFreeNode = pFreeNode->m_pNext;
        if (pFreeNode->m_header.m_size == kSentinel)
            break;
        OX_ASSERT(pFreeNode->m_header.m_size >= 0);
        const U32 size = static_cast<U32>(pFreeNode->m_header.m_size);
        totals.m_sum += size;
        if (size > totals.m_largest)
            totals.m_largest = size;
    }
    return totals;
}

U32 MemoryPoolMalloc::CalculateFreeSize()
{
    return SumFreeList().m_sum;
}

U32 MemoryPoolMalloc::CalculateLargestFreeBlock()
{
    return SumFreeList().m_largest;
}

U32 MemoryPoolMalloc::GetAllocSize(void* p)
{
    PoolLockScope lock(m_lock, m_isThreadSafe, __func__);
    if (!p || !IsUserPtrInPool(p))
        return 0;
    const NodeHeader& header = NodeOfUserPtr(p)->m_header;
    if (header.m_magic != m_magic || header.m_size >= 0)
        return 0;
    return Magnitude(header.m_size);
}

U32 MemoryPoolMalloc::GetUserDataForAllocation(void* p)
{
    PoolLockScope lock(m_lock, m_isThreadSafe, __func__);
    OX_ASSERT(IsUserPtrInPool(p));
    const Node* pNode = NodeOfUserPtr(p);
    OX_ASSERT(pNode->m_header.m_magic == m_magic);
    return pNode->m_header.m_userData;
}

void MemoryPoolMalloc::SetUserDataForAllocation(void* p, U32 value)
{
    PoolLockScope lock(m_lock, m_isThreadSafe, __func__);
    OX_ASSERT(IsUserPtrInPool(p));
    Node* pNode = NodeOfUserPtr(p);
    OX_ASSERT(pNode->m_header.m_magic == m_magic);
    pNode->m_header.m_userData = value;
}

bool MemoryPoolMalloc::IsPtrInRange(const void* p) const
{
    const U8* pByte = static_cast<const U8*>(p);
    return m_pMem && pByte >= m_pMem && pByte < m_pMem + m_memSize;
}

bool MemoryPoolMalloc::IsValidPtr(const void* p) const
{
    if (!p || !IsPtrInRange(p))
        return false;
    // The header read must not race with another thread's work on the same node.
    PoolLockScope lock(const_cast<OxAtomicLock&>(m_lock), m_isThreadSafe, __func__);
    OX_ASSERT(m_freeList.m_pNext != 0);
    if (!IsUserPtrInPool(p))
        return false;
    const NodeHeader& header = NodeOfUserPtr(p)->m_header;
    return header.m_magic == m_magic && header.m_size < 0;
}

void MemoryPoolMalloc::VisitAllNodes(VisitCallback pCallback, void* pUserArg)
{
    PoolLockScope lock(m_lock, m_isThreadSafe, __func__);
    OX_ASSERT(pCallback);
    if (!m_pMem)
        return;
    I32 numFree = 0;
    I32 numAllocated = 0;
    for (const Node* pNode = reinterpret_cast<const Node*>(m_pMem); pNode->m_header.m_size != kSentinel;)
    {
        const NodeHeader& header = pNode->m_header;
        OX_ASSERT(header.m_magic == m_magic);
        OX_ASSERT(header.m_size != 0);
        if (header.m_size > 0)
            ++numFree;
        else
            ++numAllocated;
        pNode = NodeAt(const_cast<Node*>(pNode), Magnitude(header.m_size));
    }
    const U8* pOnePastEndOfBuffer = m_pMem + m_memSize;
    for (Node* pNode = reinterpret_cast<Node*>(m_pMem); pNode->m_header.m_size != kSentinel;)
    {
        const NodeHeader& header = pNode->m_header;
        const U8* pAddr = reinterpret_cast<const U8*>(pNode);
        OX_ASSERT(header.m_magic == m_magic);
        OX_ASSERT(header.m_size != 0);
        OX_ASSERT(pAddr >= m_pMem);
        OX_ASSERT(pAddr < pOnePastEndOfBuffer);
        const U32 nodeSize = Magnitude(header.m_size);
        pCallback(pNode, nodeSize, kFreeNodeOverhead, kAllocNodeOverhead, header.m_size > 0, numFree,
                  numAllocated, pUserArg);
        pNode = NodeAt(pNode, nodeSize);
    }
}
