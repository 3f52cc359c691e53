#include "corelib/util/dout-mem-console.h"

#include "corelib/memory/scoped-temp-allocator.h"
#include "corelib/util/bigsort.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"

#include <cstring>

namespace
{
using EntryInfo = DoutMemConsole::EntryInfo;

// Larger tags first; entries of one tag in buffer (print) order.
int CompareEntries(const EntryInfo* pA, const EntryInfo* pB)
{
    if (pA->m_tag != pB->m_tag)
        return pA->m_tag > pB->m_tag ? -1 : 1;
    if (pA->m_offset != pB->m_offset)
        return pA->m_offset < pB->m_offset ? -1 : 1;
    return 0;
}

U16 ReadLength(const U8* pHeader)
{
    U16 length;
    std::memcpy(&length, pHeader, sizeof(length));
    return length;
}

U64 ReadTag(const U8* pHeader)
{
    U64 tag;
    std::memcpy(&tag, pHeader + sizeof(U16), sizeof(tag));
    return tag;
}

// Enough indices for the quick sort of any count: the smaller part is sorted first, so
// at most 32 ranges are ever pending.
constexpr U32 kSortStackIndices = 64;

// Calls visit(offset, length) for each entry of the used part in dump order (larger tags
// first, buffer order within a tag) without any scratch memory: one pass over the buffer
// per distinct tag. The fallback when scoped memory cannot hold the sorted entry list.
template <typename Visit>
void VisitEntriesInDumpOrder(const U8* pBuffer, U32 used, Visit visit)
{
    constexpr U32 kHeaderSize = DoutMemConsole::kEntryHeaderSize;
    bool haveBound = false;
    U64 bound = 0; // tags at or above the bound were visited already
    for (;;)
    {
        bool found = false;
        U64 tag = 0;
        for (U32 offset = 0; offset + kHeaderSize <= used;)
        {
            const U32 length = ReadLength(pBuffer + offset);
            if (length > used - offset - kHeaderSize)
                break;
            const U64 entryTag = ReadTag(pBuffer + offset);
            if ((!haveBound || entryTag < bound) && (!found || entryTag > tag))
            {
                tag = entryTag;
                found = true;
            }
            offset += kHeaderSize + length;
        }
        if (!found)
            return;
        for (U32 offset = 0; offset + kHeaderSize <= used;)
        {
            const U32 length = ReadLength(pBuffer + offset);
            if (length > used - offset - kHeaderSize)
                break;
            if (ReadTag(pBuffer + offset) == tag)
                visit(offset + kHeaderSize, length);
            offset += kHeaderSize + length;
        }
        haveBound = true;
        bound = tag;
    }
}
} // namespace

DoutMemConsole::DoutMemConsole(const char* name) : m_name(name)
{
    m_lock.Init();
}

DoutMemConsole::DoutMemConsole(const char* name, void* pMem, U32 memSize) : m_name(name)
{
    m_lock.Init();
    SetBuffer(pMem, memSize);
}

DoutMemConsole::~DoutMemConsole() = default;

void DoutMemConsole::SetBuffer(void* pMem, U32 memSize)
{
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    OX_ASSERT((memSize & 0xffff0000) == 0);
    m_pBuffer = static_cast<U8*>(pMem);
    m_bufLen = pMem ? memSize : 0;
    m_used = 0;
    m_lastEntry = 0;
}

void DoutMemConsole::Relocate(I64 delta, U64 low, U64 high)
{
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    const U64 address = reinterpret_cast<UPtr>(m_pBuffer);
    if (address >= low && address < high)
        m_pBuffer = reinterpret_cast<U8*>(static_cast<UPtr>(address + static_cast<U64>(delta)));
}

void DoutMemConsole::SetEnabled(bool enabled)
{
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    m_enabled = enabled;
}

bool DoutMemConsole::IsEnabled() const
{
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    return m_enabled;
}

U32 DoutMemConsole::GetUsedSize() const
{
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    return m_used;
}

bool DoutMemConsole::IsFull() const
{
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    return IsFullLocked();
}

bool DoutMemConsole::IsEmpty() const
{
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    return m_used < kEntryHeaderSize + 1;
}

void DoutMemConsole::Print(const char* text)
{
    if (!text)
        return;
    const size_t textLength = strlen(text);
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    if (!m_enabled || IsFullLocked() || textLength == 0)
        return;
    const U64 tag = GetMsgTag();
    // Consecutive prints of one tag extend the last entry instead of paying for a header.
    // The last entry must also end where the used part ends, or the text would not follow it.
    const bool append = m_lastEntry < m_used &&
                        m_lastEntry + kEntryHeaderSize + ReadLength(m_pBuffer + m_lastEntry) == m_used &&
                        ReadTag(m_pBuffer + m_lastEntry) == tag;
    const U32 header = append ? 0 : kEntryHeaderSize;
    const U32 room = m_bufLen - m_used - header;
    const U32 n = textLength < room ? static_cast<U32>(textLength) : room;
    if (append)
    {
        const U16 length = static_cast<U16>(ReadLength(m_pBuffer + m_lastEntry) + n);
        std::memcpy(m_pBuffer + m_lastEntry, &length, sizeof(length));
    }
    else
    {
        const U16 length = static_cast<U16>(n);
        std::memcpy(m_pBuffer + m_used, &length, sizeof(length));
        std::memcpy(m_pBuffer + m_used + sizeof(U16), &tag, sizeof(tag));
        m_lastEntry = m_used;
        m_used += kEntryHeaderSize;
    }
    std::memcpy(m_pBuffer + m_used, text, n);
    m_used += n;
}

void DoutMemConsole::Indent(int level)
{
    if (level <= 0 || !IsEnabled())
        return;
    const U64 blanks = 2 * static_cast<U64>(level);
    OX_SCOPED_TEMP_ALLOCATOR(indentScope, false);
    char* pText = static_cast<char*>(indentScope.Allocate(blanks + 1, 1, __FILE__, __LINE__, __func__));
    if (!pText)
        return;
    std::memset(pText, ' ', blanks);
    pText[blanks] = '\0';
    Print(pText);
}

void DoutMemConsole::Clear()
{
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    ClearLocked();
}

void DoutMemConsole::ClearLocked()
{
    if (!m_enabled)
        return;
    m_used = 0;
    m_lastEntry = 0;
}

U32 DoutMemConsole::WalkEntries(EntryInfo* pEntries) const
{
    U32 count = 0;
    U32 offset = 0;
    // A header whose text would run past the used part ends the walk (ReplaceRawBuffer
    // refuses such text, so only a corrupted buffer has one).
    while (offset + kEntryHeaderSize <= m_used)
    {
        const U8* pHeader = m_pBuffer + offset;
        const U32 length = ReadLength(pHeader);
        if (length > m_used - offset - kEntryHeaderSize)
            break;
        if (pEntries)
            pEntries[count] = EntryInfo{ReadTag(pHeader), offset + kEntryHeaderSize, length};
        ++count;
        offset += kEntryHeaderSize + length;
    }
    return count;
}

EntryInfo* DoutMemConsole::ListEntries(ScopedTempAllocator& scope, U32* pCount) const
{
    *pCount = 0;
    const U32 count = WalkEntries(nullptr);
    if (count == 0)
        return nullptr;
    // A list that does not fit the scope is not asked for (the failed allocation would be
    // reported as an error): the caller then walks the entries without one.
    const U64 listBytes = static_cast<U64>(count) * sizeof(EntryInfo);
    if (scope.GetFreeSize() < listBytes + alignof(EntryInfo))
        return nullptr;
    EntryInfo* pEntries = static_cast<EntryInfo*>(
        scope.Allocate(listBytes, alignof(EntryInfo), __FILE__, __LINE__, __func__));
    if (!pEntries)
        return nullptr;
    WalkEntries(pEntries);
    U32 sortStack[kSortStackIndices];
    QuickSort(pEntries, count, CompareEntries, sortStack, static_cast<U32>(sizeof(sortStack)));
    *pCount = count;
    return pEntries;
}

void DoutMemConsole::Dump(DoutBase* target) const
{
    OX_ASSERT(target);
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    if (m_used == 0)
        return;
    OX_SCOPED_TEMP_ALLOCATOR(dumpScope, false);
    U32 count = 0;
    const EntryInfo* pEntries = ListEntries(dumpScope, &count);
    U64 bufSize = static_cast<U64>(m_bufLen) + 1;
    if (dumpScope.GetFreeSize() < bufSize)
        bufSize = dumpScope.GetFreeSize();
    // One byte of text and its terminator at the very least.
    OX_ASSERT(bufSize >= 2);
    char* pChunk = static_cast<char*>(dumpScope.Allocate(bufSize, 1, __FILE__, __LINE__, __func__));
    if (!pChunk)
        return;
    // An entry longer than a short chunk buffer goes out in pieces instead of being lost.
    auto printEntry = [&](U32 offset, U32 length)
    {
        U32 done = 0;
        do
        {
            const U32 left = length - done;
            const U32 piece = left < bufSize - 1 ? left : static_cast<U32>(bufSize - 1);
            std::memcpy(pChunk, m_pBuffer + offset + done, piece);
            pChunk[piece] = '\0';
            target->Print(pChunk);
            done += piece;
        } while (done < length);
    };
    if (pEntries)
    {
        for (U32 ii = 0; ii < count; ++ii)
            printEntry(pEntries[ii].m_offset, pEntries[ii].m_length);
    }
    else
    {
        VisitEntriesInDumpOrder(m_pBuffer, m_used, printEntry);
    }
}

U32 DoutMemConsole::DumpToBuffer(char* buffer, U32 size, bool wholeLines, U32 offset) const
{
    if (!buffer || size == 0)
        return 0;
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    U32 copied = 0;
    if (m_used != 0)
    {
        OX_SCOPED_TEMP_ALLOCATOR(dumpScope, false);
        U32 count = 0;
        const EntryInfo* pEntries = ListEntries(dumpScope, &count);
        // The terminator keeps the last byte: the count is exactly the text length.
        const U32 room = size - 1;
        auto copyEntry = [&](U32 offset, U32 length)
        {
            const U32 left = room - copied;
            const U32 piece = length < left ? length : left;
            std::memcpy(buffer + copied, m_pBuffer + offset, piece);
            copied += piece;
        };
        if (pEntries)
        {
            for (U32 ii = 0; ii < count && copied < room; ++ii)
                copyEntry(pEntries[ii].m_offset, pEntries[ii].m_length);
        }
        else
        {
            VisitEntriesInDumpOrder(m_pBuffer, m_used, copyEntry);
        }
    }
    buffer[copied] = '\0';
    return copied;
}

void DoutMemConsole::ReplaceRawBuffer(const char* text, int size)
{
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    const U32 bufSize = static_cast<U32>(size);
    OX_ASSERT(bufSize <= m_bufLen);
    const bool wasEnabled = m_enabled;
    m_enabled = true;
    ClearLocked();
    m_enabled = wasEnabled;
    if (bufSize == 0)
        return;
    OX_ASSERT(text);
    std::memcpy(m_pBuffer, text, bufSize);
    m_used = bufSize;
    // The next print may extend the last entry: find where it starts. The text must be a
    // whole number of entries, or prints and dumps would read text as headers.
    m_lastEntry = 0;
    U32 offset = 0;
    while (offset + kEntryHeaderSize <= m_used)
    {
        const U32 length = ReadLength(m_pBuffer + offset);
        if (length > m_used - offset - kEntryHeaderSize)
            break;
        m_lastEntry = offset;
        offset += kEntryHeaderSize + length;
    }
    OX_ASSERT_MSG(offset == bufSize,
                  "ReplaceRawBuffer: %u bytes are not whole entries (the last one starts at %u)", bufSize,
                  offset);
    if (offset != bufSize)
    {
        m_used = 0;
        m_lastEntry = 0;
    }
}
