#include "corelib/util/dout-mem.h"

#include "corelib/memory/scoped-temp-allocator.h"
#include "corelib/util/msg-assert.h"

#include <cstring>

namespace
{
constexpr U32 kDumpChunkSize = 256;
} // namespace

DoutMem::DoutMem() : m_name(""), m_pBuffer(nullptr), m_bufLen(0) {}

DoutMem::DoutMem(const char* name, void* pMem, U32 memSize)
    : m_name(name), m_pBuffer(static_cast<U8*>(pMem)), m_bufLen(memSize)
{
    OX_ASSERT(IsPointerAligned(pMem, kAlign8));
}

DoutMem::~DoutMem() = default;

void DoutMem::SetBuffer(void* pMem, U32 memSize)
{
    OX_ASSERT(IsPointerAligned(pMem, kAlign8));
    OX_ASSERT(IsSizeAligned(memSize, kAlign8));
    m_pBuffer = static_cast<U8*>(pMem);
    m_bufLen = memSize;
    m_start = 0;
    m_writePos = 0;
    m_wrapped = false;
}

void DoutMem::Print(const char* text)
{
    if (!m_enabled || !text || m_bufLen == 0)
        return;
    const size_t textLength = strlen(text);
    const U32 n = textLength < m_bufLen ? static_cast<U32>(textLength) : m_bufLen;
    if (m_writePos + n <= m_bufLen)
    {
        std::memcpy(m_pBuffer + m_writePos, text, n);
        m_writePos += n;
        if (m_writePos == m_bufLen)
        {
            m_writePos = 0;
            m_wrapped = true;
        }
        if (m_wrapped)
            m_start = m_writePos;
        return;
    }
    const U32 part1Len = m_bufLen - m_writePos;
    const U32 part2Len = n - part1Len;
    OX_ASSERT_MSG(part1Len <= m_bufLen, "DoutMem corruption detected. String length of %d",
                  static_cast<int>(n));
    OX_ASSERT_MSG(part2Len <= m_bufLen, "DoutMem corruption detected. String length of %d",
                  static_cast<int>(n));
    std::memcpy(m_pBuffer + m_writePos, text, part1Len);
    std::memcpy(m_pBuffer, text + part1Len, part2Len);
    m_wrapped = true;
    m_start = part2Len;
    m_writePos = part2Len;
}

void DoutMem::Indent(int level)
{
    if (!m_enabled)
        return;
    for (int i = 0; i < level; ++i)
        Print("  ");
}

void DoutMem::Clear()
{
    if (!m_enabled)
        return;
    m_start = 0;
    m_writePos = 0;
    m_wrapped = false;
}

void DoutMem::CopyStored(U32 offset, U32 count, char* pOut) const
{
    OX_ASSERT(offset <= GetStoredLength() && count <= GetStoredLength() - offset);
    if (count == 0)
        return;
    // Stored byte k lies at (start + k) mod m_bufLen: at most two contiguous pieces.
    const U32 first = static_cast<U32>((static_cast<U64>(m_start) + offset) % m_bufLen);
    const U32 firstPiece = count < m_bufLen - first ? count : m_bufLen - first;
    std::memcpy(pOut, m_pBuffer + first, firstPiece);
    std::memcpy(pOut + firstPiece, m_pBuffer, count - firstPiece);
}

U32 DoutMem::FirstWholeLineOffset() const
{
    if (!m_wrapped)
        return 0;
    // The oldest line was partly overwritten: start after its end when there is one.
    for (U32 k = 0; k < m_bufLen; ++k)
    {
        if (m_pBuffer[(static_cast<U64>(m_start) + k) % m_bufLen] == '\n')
            return k + 1;
    }
    return 0;
}

void DoutMem::Dump(DoutBase* target) const
{
    DumpWithOffset(target, FirstWholeLineOffset());
}

void DoutMem::DumpWithOffset(DoutBase* target, U32 offset) const
{
    OX_ASSERT(target);
    const U32 storedLength = GetStoredLength();
    if (offset >= storedLength)
        return;
    OX_SCOPED_TEMP_ALLOCATOR(chunkScope, false);
    U32 chunkSize = kDumpChunkSize;
    if (chunkScope.GetFreeSize() < chunkSize)
        chunkSize = static_cast<U32>(chunkScope.GetFreeSize());
    // One byte of text and its terminator at the very least.
    OX_ASSERT(chunkSize >= 2);
    char* pChunk = static_cast<char*>(chunkScope.Allocate(chunkSize, 1, __FILE__, __LINE__, __func__));
    if (!pChunk)
        return;
    while (offset < storedLength)
    {
        const U32 remaining = storedLength - offset;
        const U32 count = remaining < chunkSize - 1 ? remaining : chunkSize - 1;
        CopyStored(offset, count, pChunk);
        pChunk[count] = '\0';
        target->Print(pChunk);
        offset += count;
    }
}

U32 DoutMem::DumpToBuffer(char* buffer, U32 size, bool wholeLines, U32 offset) const
{
    if (!buffer || size == 0)
        return 0;
    const U32 storedLength = GetStoredLength();
    const U64 begin = static_cast<U64>(wholeLines ? FirstWholeLineOffset() : 0) + offset;
    U32 count = 0;
    if (begin < storedLength)
    {
        const U32 available = storedLength - static_cast<U32>(begin);
        count = available < size - 1 ? available : size - 1;
        CopyStored(static_cast<U32>(begin), count, buffer);
    }
    buffer[count] = '\0';
    return count;
}
