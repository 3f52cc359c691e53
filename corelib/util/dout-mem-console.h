// DoutMemConsole: a message output that keeps printed text in a bounded buffer of caller
// memory as tagged entries, to be replayed into another output, grouped by message tag, or
// copied into a flat buffer. Each entry is a 10-byte header (the text length as a U16 and
// the printing thread's message tag as a U64) followed by that many unterminated text
// bytes; consecutive prints with the same tag extend one entry. Every operation takes the
// output's own spinning lock, so threads may print to it concurrently.
#pragma once

#include "corelib/system/atomic-lock.h"
#include "corelib/util/dout.h"
#include "corelib/util/types.h"

class ScopedTempAllocator;

class DoutMemConsole : public DoutBase
{
public:
    static constexpr U32 kEntryHeaderSize = 10;

    // One entry as listed for dumps: tag, text offset in the buffer and text length.
    struct EntryInfo
    {
        U64 m_tag;
        U32 m_offset;
        U32 m_length;
    };
    static_assert(sizeof(EntryInfo) == 16, "entry records are 16 bytes");

    // An output without a buffer (prints are dropped until SetBuffer).
    explicit DoutMemConsole(const char* name);
    // An output over memSize bytes at pMem (below 64 KiB; the memory stays the caller's).
    DoutMemConsole(const char* name, void* pMem, U32 memSize);
    ~DoutMemConsole() override;

    const char* GetName() const override { return m_name; }
    // Adds the text to the last entry when it carries the calling thread's tag, else starts
    // a new entry; text that does not fit is cut, and a full buffer drops it.
    void Print(const char* text) override;
    // Prints 2 * level blanks as one text.
    void Indent(int level) override;
    bool IsEnabled() const override;
    bool IsVisible() const override { return m_visible; }
    // True when no further entry fits (fewer than 11 bytes free).
    bool IsFull() const override;
    // True while no entry holds text (fewer than 11 bytes used).
    bool IsEmpty() const override;
    // Replays every entry into target, larger tags first, each tag's entries in print order.
    void Dump(DoutBase* target) const override;
    // Copies the entry texts in Dump's order into buffer, at most size - 1 bytes and a
    // terminator; returns the number of text bytes copied. The flag and offset are unused.
    U32 DumpToBuffer(char* buffer, U32 size, bool wholeLines, U32 offset) const override;
    // Replaces the contents with size bytes that are already in the entry format.
    void ReplaceRawBuffer(const char* text, int size) override;
    // Empties the buffer (slot 17): takes the lock and calls ClearLocked.
    virtual void Clear();
    // Empties the buffer while the caller holds the lock (slot 18; only while enabled).
    virtual void ClearLocked();

    // Uses memSize bytes (below 64 KiB) at pMem and empties the output.
    void SetBuffer(void* pMem, U32 memSize);
    // Adds delta to the buffer pointer when it lies in [low, high): for a buffer whose memory was moved.
    void Relocate(I64 delta, U64 low, U64 high);
    void SetEnabled(bool enabled);
    void SetVisible(bool visible) { m_visible = visible; }

    U32 GetBufferSize() const { return m_bufLen; }
    U32 GetUsedSize() const;
    // The raw buffer, for copying it elsewhere (ReplaceRawBuffer takes it back).
    const U8* GetRawBuffer() const { return m_pBuffer; }

private:
    // A new entry would hold no text. Lock held.
    bool IsFullLocked() const { return m_bufLen - m_used < kEntryHeaderSize + 1; }
    // Fills pEntries (when not null) with the entries in buffer order; returns their count. Lock held.
    U32 WalkEntries(EntryInfo* pEntries) const;
    // Lists the entries in the scope's memory, sorted for dumping; null when there are
    // none. Lock held.
    EntryInfo* ListEntries(ScopedTempAllocator& scope, U32* pCount) const;

    const char* m_name;
    U8* m_pBuffer = nullptr;
    U32 m_bufLen = 0;
    U32 m_used = 0;
    U32 m_lastEntry = 0;
    bool m_enabled = true;
    bool m_visible = true;
    mutable OxAtomicLock m_lock;
};
