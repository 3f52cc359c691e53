// HashTable: the library's fixed-capacity map with separate chaining. Its bucket array
// and its node pool (a FixedSizeHeap) are sized once at Init and never grow; running out
// of nodes is the assertion "Hash table overflow". New keys go to the front of their
// chain, so recently inserted keys are found fastest. The extra bucket entry after the
// last one holds an end sentinel, so an iteration that runs past the last chain lands on
// end(). The owner serialises access.
#pragma once

#include "corelib/containers/fixedsizeheap.h"
#include "corelib/memory/memory-context.h"
#include "corelib/memory/memory.h"
#include "corelib/util/fnv-hash.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/types.h"

#include <new>

// Hash and equality of a key type: 32-bit FNV-1a over the key's bytes in memory order.
// Key types with another hash specialise this template.
template <typename K, typename V>
struct HashTableTraits
{
    static U32 Hash(const K& key) { return Fnv1aHash32(&key, sizeof(K), kFnv32OffsetBasis); }
    static bool Equal(const K& a, const K& b) { return a == b; }
};

// What Insert does with a key that is already present.
enum HashTableInsertMode : U32
{
    kHashTableReplace = 0,      // store the new value in the existing node
    kHashTableKeepExisting = 1, // return the existing node unchanged
};

template <typename K, typename V, int kReserved = 0, typename Traits = HashTableTraits<K, V>>
class HashTable
{
public:
    struct Node
    {
        Node* m_pNext;
        Node* m_pPrev;
        K m_key;
        V m_value;
    };

    // A position: the bucket entry of the chain and the node in it.
    struct Iterator
    {
        Node** m_pBucket;
        Node* m_pNode;

        bool operator==(const Iterator& other) const { return m_pNode == other.m_pNode; }
        bool operator!=(const Iterator& other) const { return m_pNode != other.m_pNode; }
        Node* operator->() const { return m_pNode; }
        Node& operator*() const { return *m_pNode; }
    };

    HashTable() = default;
    HashTable(const HashTable&) = delete;
    HashTable& operator=(const HashTable&) = delete;
    ~HashTable() { Shutdown(); }

    // Bytes of caller memory the table needs for numBuckets buckets (the node pool is separate).
    static constexpr U64 GetBucketMemorySize(U32 numBuckets)
    {
        return SentinelOffset(numBuckets) + sizeof(Node);
    }

    // Sizes the table once: numBuckets chains, numNodes nodes. The buckets, the sentinel
    // and the node pool are allocated from the context's allocator.
    void Init(U32 numBuckets, U32 numNodes, Memory::Context context, const char* file, U32 line,
              const char* function)
    {
        OX_ASSERT(!IsInitialized());
        OX_ASSERT(numBuckets > 0 && numNodes > 0);
        void* pBucketMemory = new (context, kAlign16) U8[GetBucketMemorySize(numBuckets)];
        OX_ASSERT(pBucketMemory);
        m_nodes.Init(numNodes, sizeof(Node), context, NodeAlignment(), file, line, function);
        SetUp(numBuckets, pBucketMemory);
        m_ownsBuckets = true;
    }

    // Sizes the table over caller memory: GetBucketMemorySize(numBuckets) bytes for the
    // buckets and numNodes * sizeof(Node) bytes for the nodes (both 16-byte aligned, both
    // still the caller's); the node usage bits come from the context's allocator.
    void Init(U32 numBuckets, U32 numNodes, void* pBucketMemory, void* pNodeMemory, Memory::Context context,
              const char* file, U32 line, const char* function)
    {
        OX_ASSERT(!IsInitialized());
        OX_ASSERT(numBuckets > 0 && numNodes > 0);
        OX_ASSERT(pBucketMemory && IsPointerAligned(pBucketMemory, alignof(Node)));
        m_nodes.Init(numNodes, sizeof(Node), static_cast<U8*>(pNodeMemory), context, NodeAlignment(), file,
                     line, function);
        SetUp(numBuckets, pBucketMemory);
        m_ownsBuckets = false;
    }

    // Releases what Init allocated; the table may be initialised again afterwards.
    void Shutdown()
    {
        if (!IsInitialized())
            return;
        m_nodes.Shutdown();
        if (m_ownsBuckets)
            Memory::Free(m_pBuckets, __FILE__, __LINE__, __func__);
        m_pBuckets = nullptr;
        m_pSentinel = nullptr;
        m_count = 0;
        m_numBuckets = 0;
        m_highWaterMark = 0;
        m_initialized = 0;
    }

    // The node holding key, or end().
    Iterator Find(const K& key) const { return _Find(key); }

    Iterator _Find(const K& key) const
    {
        OX_ASSERT(m_initialized);
        Node** pBucket = m_pBuckets + BucketOf(key);
        for (Node* pNode = *pBucket; pNode; pNode = pNode->m_pNext)
        {
            if (Traits::Equal(pNode->m_key, key))
                return Iterator{pBucket, pNode};
        }
        return end();
    }

    // Adds key with value, or (kHashTableReplace) stores value in the node already holding key.
    Iterator Insert(const K& key, const V& value, U32 mode = kHashTableReplace)
    {
        OX_ASSERT(m_initialized);
        Node** pBucket = m_pBuckets + BucketOf(key);
        for (Node* pNode = *pBucket; pNode; pNode = pNode->m_pNext)
        {
            if (Traits::Equal(pNode->m_key, key))
            {
                if (mode != kHashTableKeepExisting)
                {
                    pNode->m_key = key;
                    pNode->m_value = value;
                }
                return Iterator{pBucket, pNode};
            }
        }
        Node* pNewNode = static_cast<Node*>(m_nodes.Alloc());
        OX_ASSERT_MSG(pNewNode, "Hash table overflow");
        if (!pNewNode)
            return end();
        ++m_count;
        if (m_count > m_highWaterMark)
            m_highWaterMark = static_cast<U32>(m_count);
        Node* pOldHead = *pBucket;
        new (pNewNode) Node{pOldHead, nullptr, key, value};
        if (pOldHead)
            pOldHead->m_pPrev = pNewNode;
        *pBucket = pNewNode;
        return Iterator{pBucket, pNewNode};
    }

    // Removes the node; returns the position of the node that follows it.
    Iterator Erase(Iterator it)
    {
        OX_ASSERT(m_initialized);
        OX_ASSERT(it.m_pNode && it.m_pNode != m_pSentinel);
        Node* pNode = it.m_pNode;
        Iterator result =
            pNode->m_pNext ? Iterator{it.m_pBucket, pNode->m_pNext} : FirstFrom(it.m_pBucket + 1);
        if (pNode->m_pPrev)
            pNode->m_pPrev->m_pNext = pNode->m_pNext;
        else
            *it.m_pBucket = pNode->m_pNext;
        if (pNode->m_pNext)
            pNode->m_pNext->m_pPrev = pNode->m_pPrev;
        m_nodes.Free(pNode);
        pNode->~Node();
        new (pNode) Node{nullptr, nullptr, K{}, V{}};
        --m_count;
        return result;
    }

    // Removes key when present; true when it was.
    bool Erase(const K& key)
    {
        const Iterator it = _Find(key);
        if (it == end())
            return false;
        Erase(it);
        return true;
    }

    // Removes every node.
    void Clear()
    {
        OX_ASSERT(m_initialized);
        for (U32 i = 0; i < m_numBuckets; ++i)
            m_pBuckets[i] = nullptr;
        m_nodes.FreeAll();
        m_count = 0;
    }

    Iterator begin() const
    {
        OX_ASSERT(m_initialized);
        return FirstFrom(m_pBuckets);
    }
    Iterator end() const { return Iterator{m_pBuckets + m_numBuckets, m_pSentinel}; }
    // The position after it: the rest of its chain, then the following non-empty buckets.
    Iterator Next(Iterator it) const
    {
        if (it.m_pNode == m_pSentinel)
            return it;
        return it.m_pNode->m_pNext ? Iterator{it.m_pBucket, it.m_pNode->m_pNext}
                                   : FirstFrom(it.m_pBucket + 1);
    }

    U64 GetCount() const { return m_count; }
    U32 GetNumBuckets() const { return m_numBuckets; }
    // The largest count the table ever reached.
    U32 GetHighWaterMark() const { return m_highWaterMark; }
    bool IsInitialized() const { return m_initialized != 0; }
    U64 GetMaxNodes() const { return static_cast<U64>(m_nodes.GetNumElements()); }

private:
    // The sentinel node follows the numBuckets + 1 bucket entries, aligned for a node.
    static constexpr U64 SentinelOffset(U32 numBuckets)
    {
        return ((static_cast<U64>(numBuckets) + 1) * sizeof(Node*) + alignof(Node) - 1) &
               ~(alignof(Node) - 1);
    }

    static Alignment NodeAlignment() { return alignof(Node) > 8 ? kAlign16 : kAlign8; }

    U32 BucketOf(const K& key) const { return Traits::Hash(key) % m_numBuckets; }

    void SetUp(U32 numBuckets, void* pBucketMemory)
    {
        m_pBuckets = static_cast<Node**>(pBucketMemory);
        m_numBuckets = numBuckets;
        m_pSentinel = reinterpret_cast<Node*>(static_cast<U8*>(pBucketMemory) + SentinelOffset(numBuckets));
        new (m_pSentinel) Node{m_pSentinel, m_pSentinel, K{}, V{}};
        for (U32 i = 0; i < numBuckets; ++i)
            m_pBuckets[i] = nullptr;
        m_pBuckets[numBuckets] = m_pSentinel;
        m_count = 0;
        m_highWaterMark = 0;
        m_initialized = 1;
    }

    // The head of the first non-empty bucket at or after pBucket; the sentinel entry ends the search.
    Iterator FirstFrom(Node** pBucket) const
    {
        while (!*pBucket)
            ++pBucket;
        return Iterator{pBucket, *pBucket};
    }

    Node** m_pBuckets = nullptr;
    Node* m_pSentinel = nullptr;
    FixedSizeHeap m_nodes;
    U64 m_count = 0;
    U32 m_numBuckets = 0;
    // One word: bits 0 to 30 the largest count ever reached, bit 31 set once initialised.
    U32 m_highWaterMark : 31 = 0;
    U32 m_initialized : 1 = 0;
    bool m_ownsBuckets = false;
};
