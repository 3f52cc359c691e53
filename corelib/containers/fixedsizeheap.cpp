#include "corelib/containers/fixedsizeheap.h"

#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/memory.h"
#include "corelib/util/bitmath.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"

#include <cstring>
#include <type_traits>

namespace
{
// The location the usage bits are reported under in allocation trackers and failure reports.
constexpr U32 kInitSourceLine = 193;
constexpr const char* kInitSourceFunction = "void __cdecl FixedSizeHeap::Init(__int64,__int64,unsigned char "
                                            "*,class Memory::Context,class Alignment,const "
                                            "char *,unsigned int,const char *)";

inline bool ValidElementAlignment(U64 alignment)
{
    return alignment >= 4 && (alignment & (alignment - 1)) == 0;
}

inline I64 RoundUp(I64 value, U64 alignment)
{
    return static_cast<I64>((static_cast<U64>(value) + alignment - 1) & ~(alignment - 1));
}
} // namespace

void FixedSizeHeap::Init(I64 numElements, I64 elementSize, U8* data, Memory::Context context,
                         Alignment alignment, const char* file, U32 line, const char* function)
{
    OX_ASSERT(m_numElements == 0);
    OX_ASSERT(ValidElementAlignment(alignment));
    OX_ASSERT(numElements > 0 && elementSize > 0);
    if (elementSize % static_cast<I64>(alignment) != 0)
    {
        SetActiveMsgOutput(kMsgChannelInfo);
        PrintWarning(
            "FixedSizeHeap(%u elems, size %u, align %u): unaligned element size in file \"%s\", line %d, "
            "function %s!\n",
            static_cast<U32>(numElements), static_cast<U32>(elementSize), static_cast<U32>(alignment),
            file ? file : "UNKNOWN", static_cast<int>(line), function ? function : "UNKNOWN");
    }
    m_alignment = alignment;
    m_numElements = numElements;
    m_pData = data;
    m_elementStride = RoundUp(elementSize, alignment);
    m_strideShift = (m_elementStride & (m_elementStride - 1)) == 0
                        ? static_cast<I32>(CountTrailingZeros64(static_cast<U64>(m_elementStride)))
                        : -1;
    // The reciprocal gives exact quotients for offset x stride < 2^64, and offsets into
    // the array stay below stride x count.
    const U64 stride = static_cast<U64>(m_elementStride);
    m_strideReciprocal =
        m_strideShift < 0 && static_cast<U64>(numElements) <= ~0ull / stride / stride ? ~0ull / stride + 1 : 0;
    OX_ASSERT(m_pData != 0);

    Memory::PushAllocator(context, __FILE__, kInitSourceLine, kInitSourceFunction);
    const U64 numWords = (static_cast<U64>(numElements) + 63) / 64;
    U64* pBlocks = static_cast<U64*>(
        Memory::Allocate(numWords * sizeof(U64), kAlign16, __FILE__, kInitSourceLine, kInitSourceFunction));
    OX_ASSERT(pBlocks);
    m_usage.m_storage.Init(static_cast<U64>(numElements), pBlocks);
    ResetSearchState();
    m_numUsed = 0;
    m_mostRecentIndex = numElements - 1;
    Memory::PopAllocator();
}

void FixedSizeHeap::Init(I64 numElements, I64 elementSize, const Memory::Context& context,
                         Alignment alignment, const char* file, U32 line, const char* function)
{
    OX_ASSERT(ValidElementAlignment(alignment));
    const U64 bytes = static_cast<U64>(RoundUp(elementSize, alignment)) * static_cast<U64>(numElements);
    U8* data;
    if (context != Memory::kAllocInvalid)
    {
        data = static_cast<U8*>(Memory::GetAllocator(context) ? new (context, alignment) U8[bytes] : nullptr);
    }
    else
    {
        data = new (alignment) U8[bytes];
    }
    Init(numElements, elementSize, data, context, alignment, file, line, function);
    m_ownsData = true;
}

I64 FixedSizeHeap::FindFree(const U64* allowMask) const
{
    const U64* pBlocks = m_usage.GetBlocks();
    const U32 numBlocks = m_usage.GetNumBlocks();
    for (U32 block = m_firstFreeWordHint; block < numBlocks; ++block)
    {
        U64 bits = ~pBlocks[block];
        if (allowMask)
            bits &= allowMask[block];
        if (block == numBlocks - 1)
            bits &= m_usage.m_storage.GetLastBlockMask();
        if (bits)
            return static_cast<I64>(block) * 64 + static_cast<I64>(CountTrailingZeros64(bits));
    }
    return -1;
}

void* FixedSizeHeap::TakeIndex(I64 index, bool allowMaskUsed)
{
    if (index < 0 || index >= m_numElements)
        return nullptr;
    m_usage.SetBit(static_cast<U64>(index));
    NoteTaken(static_cast<U32>(index / 64), m_usage.GetBlocks()[index / 64], !allowMaskUsed);
    ++m_numUsed;
    m_mostRecentIndex = index;
    return m_pData + index * m_elementStride;
}

void* FixedSizeHeap::AllocAllowed(const U64* allowMask)
{
    OX_ASSERT(allowMask);
    return TakeIndex(FindFree(allowMask), true);
}

void FixedSizeHeap::FreeAll()
{
    m_numUsed = 0;
    U64* pBlocks = m_usage.GetBlocks();
    for (U32 block = 0; block < m_usage.GetNumBlocks(); ++block)
        pBlocks[block] = 0;
    m_mostRecentIndex = m_numElements - 1;
    ResetSearchState();
}

void FixedSizeHeap::ResetSearchState()
{
    const U32 numBlocks = m_usage.GetNumBlocks();
    m_firstFreeWordHint = 0;
    m_notFullWords = 0;
    m_lastBlock = numBlocks ? numBlocks - 1 : 0;
    m_lastBlockMask = numBlocks ? m_usage.m_storage.GetLastBlockMask() : 0;
    m_summarised = numBlocks != 0 && numBlocks <= 64;
    for (U32 block = 0; block < numBlocks && m_summarised; ++block)
    {
        if (m_usage.GetBlocks()[block] != UsableBits(block))
            m_notFullWords |= 1ull << block;
    }
}

void FixedSizeHeap::ReportNotInUse() const
{
    OX_ASSERT_AS(false, "m_usage.IsBitSet(entryIndex)");
}

void FixedSizeHeap::CheckNoElementStart(U64 offset) const
{
    // The offset of an address below the array wraps past its end.
    const U64 arrayBytes = static_cast<U64>(m_elementStride) * static_cast<U64>(m_numElements);
    OX_ASSERT_AS(m_numUsed == 0 || offset >= arrayBytes, "dataIn == pHeapBlock");
}

void* FixedSizeHeap::GetElementStart(const void* p) const
{
    if (!IsPtrInRange(p))
        return nullptr;
    return m_pData + GetIndex(p) * m_elementStride;
}

void* FixedSizeHeap::GetAllocatedElementStart(const void* p) const
{
    return m_numUsed != 0 ? GetElementStart(p) : nullptr;
}

void FixedSizeHeap::Copy(const FixedSizeHeap& srcHeap)
{
    OX_ASSERT_MSG(m_numElements != 0, "Trying to copy to uninitialized FixedSizeHeap");
    OX_ASSERT_MSG(m_numElements == srcHeap.m_numElements,
                  "FixedSizeHeap::Copy assumes dest and src are the same size.");
    // Elements of different strides would be copied short or past the array's end.
    OX_ASSERT(m_elementStride == srcHeap.m_elementStride);
    m_numUsed = srcHeap.m_numUsed;
    m_usage.Copy(srcHeap.m_usage);
    std::memcpy(m_pData, srcHeap.m_pData, static_cast<size_t>(m_elementStride * m_numElements));
    m_mostRecentIndex = srcHeap.m_mostRecentIndex;
    ResetSearchState();
}

void FixedSizeHeap::Relocate(I64 delta, U64 low, U64 high)
{
    const auto relocated = [&](auto* p)
    {
        const U64 address = reinterpret_cast<UPtr>(p);
        if (address >= low && address < high)
            return reinterpret_cast<decltype(p)>(static_cast<UPtr>(address + static_cast<U64>(delta)));
        return p;
    };
    m_pData = relocated(m_pData);
    // The bit storage offers no way to move its block pointer without clearing the bits;
    // it is standard layout with that pointer first, so the pointer is replaced in place.
    static_assert(std::is_standard_layout_v<ExternalBitArrayStorage>,
                  "block pointer must be the first field");
    U64** ppBlocks = reinterpret_cast<U64**>(&m_usage.m_storage);
    OX_ASSERT(*ppBlocks == m_usage.GetBlocks());
    *ppBlocks = relocated(*ppBlocks);
}

void FixedSizeHeap::Shutdown()
{
    if (m_numElements == 0)
        return;
    // Released through the memory system (the replaced global delete is optional).
    Memory::Free(m_usage.GetBlocks(), __FILE__, __LINE__, __func__);
    if (m_ownsData)
        Memory::Free(m_pData, __FILE__, __LINE__, __func__);
    m_usage.m_storage = ExternalBitArrayStorage();
    ResetSearchState();
    m_numElements = 0;
    m_numUsed = 0;
    m_pData = nullptr;
    m_ownsData = false;
}
