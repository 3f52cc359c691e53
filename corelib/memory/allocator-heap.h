// Linear allocators built on HeapArena. HeapAllocator is frame memory: one, two or three
// equally sized buffers, allocation by pointer increment, release only as a whole (by
// Reset, Clear or FreeToMarker). HeapAllocatorWithOverflow hands every request to a second
// allocator once its own block is full and counts the bytes it would have needed. The
// two janitors are scoped heap allocators that push themselves on the caller's allocator
// stack for their lifetime.
#pragma once

#include "corelib/memory/allocator.h"
#include "corelib/memory/heaparena.h"
#include "corelib/util/types.h"

class HeapAllocator : public Memory::Allocator
{
public:
    // Reset modes: what Reset(keep) does at the end of a frame.
    enum ResetMode : U32
    {
        kResetNone = 0,             // nothing
        kResetRewind = 1,           // rewind to buffer 0
        kResetRewindUnlessKeep = 2, // rewind to buffer 0 unless keep
        kResetNextBuffer = 3,       // move to the next buffer and rewind there
        kResetNextBufferUnlessKeep = 4,
    };

    explicit HeapAllocator(const char* name = nullptr);
    ~HeapAllocator() override;

    // One buffer, reset mode 0.
    void Init(void* mem, U64 size);
    // One buffer with a reset mode.
    void Init(void* mem, U64 size, U32 mode);
    // Two buffers of size bytes each (double-buffered frame memory).
    void Init(void* mem0, void* mem1, U64 size, U32 mode);
    // Three buffers of size bytes each (triple-buffered frame memory).
    void Init(void* mem0, void* mem1, void* mem2, U64 size, U32 mode);
    // Adds delta to the arena's pointers and every buffer start that lie in [low, high).
    void Relocate(I64 delta, U64 low, U64 high);

    void Shutdown() override;
    void Clear() override;
    void FreeToMarker(const Memory::Marker& marker) override;
    Memory::Marker GetMarker() override;
    void Reset(bool keep) override;
    void Update() override;
    void* Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function) override;
    void Free(void* p, const char* file, U32 line, const char* function) override;
    bool IsInitialized() override;
    bool IsValidPtr(const void* p) override;
    bool IsPtrInRange(const void* p) override;
    bool IsPtrInDoubleFrameRange(const void* p) override;
    bool CanAllocate(U64 size, U64 alignment) override;
    void* GetMemoryBase() override;
    U64 GetTotalSize() override;
    U64 GetFreeSize() override;
    void UnmapMemory() override;
    void MapMemory() override;
    void ProcessReportRequest() override;
    // True when p lies in buffer 0, 1 or 2.
    virtual bool IsPtrInTripleFrameRange(const void* p);

    HeapArena& GetArena() { return m_arena; }
    U32 GetBufferIndex() const { return m_bufferIndex; }
    U32 GetNumBuffers() const { return m_numBuffers; }
    U32 GetResetMode() const { return m_resetMode; }

protected:
    void InitBuffers(void* mem0, void* mem1, void* mem2, U64 size, U32 numBuffers, U32 mode);
    // Starts the arena over the current buffer and tells the tracker everything is gone.
    void Rewind();
    bool IsPtrInBuffers(const void* p, U32 numBuffers) const;

    HeapArena m_arena;
    U8* m_pBuffers[3] = {nullptr, nullptr, nullptr};
    U64 m_bufferSize = 0;
    U8 m_numBuffers = 0;
    U8 m_bufferIndex = 0;
    U32 m_resetMode = kResetNone;
};

class HeapAllocatorWithOverflow : public HeapAllocator
{
public:
    // Failure reports are off: running over is this allocator's purpose.
    HeapAllocatorWithOverflow(Memory::Allocator* pOverflow, const char* name = nullptr);

    // The arena while it has room; from its first failure on, always the overflow allocator.
    void* Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function) override;
    // Not supported: memory may lie in two allocators.
    void Reset(bool keep) override;
    bool IsValidPtr(const void* p) override;
    bool IsPtrInRange(const void* p) override;
    bool CanAllocate(U64 size, U64 alignment) override;

    Memory::Allocator* GetOverflowAllocator() const { return m_pOverflow; }
    // Bytes (alignment slack included) handed to the overflow allocator; 0 while the arena serves.
    U32 GetOverflowBytes() const { return m_overflowBytes; }

protected:
    Memory::Allocator* m_pOverflow;
    U32 m_overflowBytes = 0;
};

// A temporary heap allocator current for one scope; warns when more than 1 MiB of it
// stayed unused.
class CustomAllocateJanitor : public HeapAllocator
{
public:
    // Takes the budget of the memory map entry from its context (128-byte aligned).
    CustomAllocateJanitor(U32 memoryMapId, const char* file, U32 line, const char* function, bool quiet);
    // Uses the caller's block, which the caller keeps owning.
    CustomAllocateJanitor(void* mem, U64 size, const char* file, U32 line, const char* function, bool quiet);
    ~CustomAllocateJanitor() override;

private:
    const char* m_sourceFile;
    const char* m_sourceFunction;
    U32 m_sourceLine;
    bool m_quiet;
    void* m_pOwnedBlock = nullptr;
    Memory::Context m_ownedBlockContext;
};

// A temporary overflow-capable heap allocator current for one scope, whose budget must
// match the real need: at least the need and less than the need raised to 1 KiB.
class CheckedExactHeapAllocatorJanitor : public HeapAllocatorWithOverflow
{
public:
    // Takes the budget of the memory map entry (its size, context and alignment).
    CheckedExactHeapAllocatorJanitor(U32 memoryMapId, const char* file, U32 line, const char* function);
    // Uses the caller's block, which the caller keeps owning.
    CheckedExactHeapAllocatorJanitor(void* mem, U64 size, const char* file, U32 line, const char* function);
    ~CheckedExactHeapAllocatorJanitor() override;

private:
    const char* m_sourceFile;
    const char* m_sourceFunction;
    U32 m_sourceLine;
    void* m_pOwnedBlock = nullptr;
    Memory::Context m_ownedBlockContext;
};
