// MemoryPoolMalloc: a general-purpose allocator over one caller-supplied block of less
// than 2 GiB. Nodes lie end to end in the block, each with a 16-byte boundary tag
// (previous size, own size, magic, user word); free nodes also carry the links of a
// doubly linked free list that runs head -> free nodes -> end node. Allocation is first
// fit over that list, carving from the end of the chosen node; freeing coalesces with
// both neighbours, so no two free nodes are ever adjacent. A random per-pool magic word
// in every header and the boundary tags catch most misuse and stomping.
//
// The pool is meant to be the first member after the Memory::Allocator base of an
// allocator class; the debug validation switch finds it there.
#pragma once

#include "corelib/system/atomic-lock.h"
#include "corelib/util/types.h"

#include <atomic>

class MemoryPoolMalloc
{
public:
    // Marks the ends of the node chain and of the free list (odd, so never a node size).
    static constexpr I32 kSentinel = 0x4ABABEEF;

    struct NodeHeader
    {
        I32 m_prevSize; // size of the node before (negative when allocated), kSentinel for the first
        I32 m_size;     // positive = free, negative = allocated, kSentinel for the end node
        U32 m_magic;    // the pool's magic; 0 once the header disappeared by merging
        U32 m_userData; // caller word stored with an allocation
    };
    static_assert(sizeof(NodeHeader) == 16, "node headers are 16 bytes");

    struct Node
    {
        NodeHeader m_header;
        Node* m_pNext; // free-list links, valid only while the node is free
        Node* m_pPrev;
    };
    static_assert(sizeof(Node) == 32, "the smallest node is 32 bytes");

    // Called for every node in address order: node address, node size, free-node overhead
    // (32), allocated-node overhead (16), whether it is free, and the two node counts.
    using VisitCallback = void (*)(void* pNode, U32 nodeSize, U32 freeNodeOverhead, U32 allocNodeOverhead,
                                   bool isFree, I32 numFreeNodes, I32 numAllocatedNodes, void* pUserArg);

    MemoryPoolMalloc();
    MemoryPoolMalloc(const MemoryPoolMalloc&) = delete;
    MemoryPoolMalloc& operator=(const MemoryPoolMalloc&) = delete;

    // Lays out one free node and the end node over the block (8-byte aligned, size a
    // multiple of 8, at least 64 and below 0x7FFFFFFF) and draws a new magic word.
    void Init(void* mem, I32 size);
    // Init again over the same block, forgetting every allocation; nothing when no block is set.
    void Reinit();
    // Forgets the block: list head, pointers, totals, counts and magic become zero.
    void Shutdown();
    // Makes every public operation take the pool's spinning lock; call once, before sharing.
    void MakeThreadSafe();

    // First-fit allocation of size bytes aligned to alignment (at least 8); null when nothing fits.
    void* Malloc(I32 size, U64 alignment, U32 userData);
    // Returns an allocation to the pool, merging it with free neighbours.
    void Free(void* p);
    // Grows or shrinks an allocation in place; true when it now serves newSize bytes.
    bool ResizeAlloc(void* p, I32 newSize);
    // Resizes in place when possible, else moves the data to a new allocation; null (the
    // old block kept) when p is not aligned to alignment or nothing fits.
    void* Realloc(void* p, U32 newSize, U64 alignment);
    // Frees p, then tells whether the free node it became part of could serve a Malloc(size, alignment).
    bool FreeCheckCanAlloc(void* p, I32 size, U64 alignment);
    // True when Malloc(size, alignment) would succeed now.
    bool CanAlloc(I32 size, U64 alignment);

    // Sum of the free nodes' sizes (headers included), walking the free list.
    U32 CalculateFreeSize();
    // Size of the largest free node (header included), walking the free list.
    U32 CalculateLargestFreeBlock();
    // Node size of an allocation; 0 for null, foreign, free or wrong-magic pointers.
    U32 GetAllocSize(void* p);
    // The user word stored with an allocation.
    U32 GetUserDataForAllocation(void* p);
    // Replaces the user word stored with an allocation.
    void SetUserDataForAllocation(void* p, U32 value);

    // True when p lies in the managed block.
    bool IsPtrInRange(const void* p) const;
    // True when p is the user address of a live allocation of this pool.
    bool IsValidPtr(const void* p) const;

    // Calls the callback for every node except the end node, in address order.
    void VisitAllNodes(VisitCallback pCallback, void* pUserArg);
    // Checks every boundary tag, link and total; the first failure ends the program with
    // the validation report (false if a debugger resumes after it).
    bool Validate();

    void* GetMemory() const { return m_pMem; }
    U32 GetMemSize() const { return m_memSize; }
    U32 GetFreeSize() const { return m_freeSize; }
    U32 GetAllocSize() const { return m_allocSize; }
    U32 GetOverheadSize() const { return m_overheadSize; }
    U32 GetPeakAllocSize() const { return m_peakAllocSize; }
    I32 GetNumAllocationUnits() const { return m_numAllocationUnits; }
    I32 GetNumFreeAllocationUnits() const { return m_numFreeAllocationUnits; }
    U32 GetMagic() const { return m_magic; }
    bool IsThreadSafe() const { return m_isThreadSafe; }

    // The debug validation switch: a context value (0 = off). When set, every Malloc,
    // Free and ResizeAlloc of the pool embedded in that context's allocator validates
    // the whole pool before and after its work.
    static void SetValidationContext(U32 context);
    static U32 GetValidationContext();

private:
    friend class MemoryPoolMallocTestAccess;

    struct FreeListTotals
    {
        U32 m_sum;
        U32 m_largest;
    };
    // Walks the free list (checking each node's magic against its successor's).
    FreeListTotals SumFreeList();
    void* MallocNoLock(I32 size, U64 alignment, U32 userData);
    void FreeNoLock(void* p);
    bool ResizeAllocNoLock(void* p, I32 newSize);
    bool FitsInFreeNode(const Node* pNode, U64 size, U64 alignment) const;
    bool IsUserPtrInPool(const void* p) const;
    void PushFront(Node* pNode);
    void Unlink(Node* pNode);
    void NoteAllocated(U32 bytes);
    bool WantsDebugValidation() const;
    void LockIfThreadSafe();
    void UnlockIfThreadSafe();
    void ReportValidationFailure(const void* pNode, const char* message);

    // The validation switch, read on every operation (relaxed: it is a debug aid).
    static inline std::atomic<U32> s_validationContext{0};

    Node m_freeList;
    U8* m_pMem;
    U32 m_memSize;
    U32 m_freeSize;
    U32 m_allocSize;
    U32 m_overheadSize;
    U32 m_peakAllocSize;
    I32 m_numAllocationUnits;
    I32 m_numFreeAllocationUnits;
    U32 m_magic;
    OxAtomicLock m_lock;
    bool m_isThreadSafe;
};
