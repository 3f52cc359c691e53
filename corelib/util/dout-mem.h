// DoutMem: a message output that keeps the most recent text of an unbounded stream in a
// ring buffer of caller memory, as raw characters without terminators or separators.
// Once the ring has wrapped, dumps may start at the first whole line. One writer at a
// time: DoutMem has no lock.
#pragma once

#include "corelib/util/dout.h"
#include "corelib/util/types.h"

class DoutMem : public DoutBase
{
public:
    // An output with the empty name, no buffer and size 0 (prints are dropped until SetBuffer).
    DoutMem();
    // An output over memSize bytes at pMem (8-byte aligned; the memory stays the caller's).
    DoutMem(const char* name, void* pMem, U32 memSize);
    ~DoutMem() override;

    const char* GetName() const override { return m_name; }
    // Appends the text to the ring; a text longer than the buffer keeps its first m_bufLen characters.
    void Print(const char* text) override;
    // Prints two blanks level times.
    void Indent(int level) override;
    bool IsEnabled() const override { return m_enabled; }
    bool IsVisible() const override { return m_visible; }
    // True once the ring has wrapped.
    bool IsFull() const override { return m_wrapped; }
    bool IsEmpty() const override { return false; }
    // Replays the stored text into target, from the first whole line once the ring has wrapped.
    void Dump(DoutBase* target) const override;
    // Copies the stored text from offset bytes after its start (after the cut-off first line
    // when wholeLines is set and the ring has wrapped) into buffer; at most size - 1 bytes
    // and a terminator. Returns the number of text bytes copied.
    U32 DumpToBuffer(char* buffer, U32 size, bool wholeLines, U32 offset) const override;
    // Forgets the stored text (slot 17; only while enabled).
    virtual void Clear();

    // Uses memSize bytes at pMem (both 8-byte aligned) and empties the output.
    void SetBuffer(void* pMem, U32 memSize);
    // Replays the stored text from offset bytes after its start into target, in chunks of
    // scoped temporary memory.
    void DumpWithOffset(DoutBase* target, U32 offset) const;
    void SetEnabled(bool enabled) { m_enabled = enabled; }
    void SetVisible(bool visible) { m_visible = visible; }

    // Bytes of text held: the whole buffer once wrapped.
    U32 GetStoredLength() const { return m_wrapped ? m_bufLen : m_writePos - m_start; }
    U32 GetBufferSize() const { return m_bufLen; }
    U32 GetStart() const { return m_start; }
    U32 GetWritePosition() const { return m_writePos; }
    // Copies count bytes of the stored text, from offset bytes after its start, in ring order.
    void CopyStored(U32 offset, U32 count, char* pOut) const;

private:
    // Where the first whole line begins in the stored text (0 unless wrapped with a line end).
    U32 FirstWholeLineOffset() const;

    const char* m_name;
    U8* m_pBuffer;
    U32 m_bufLen;
    U32 m_start = 0;
    U32 m_writePos = 0;
    bool m_wrapped = false;
    bool m_enabled = true;
    bool m_visible = true;
};
