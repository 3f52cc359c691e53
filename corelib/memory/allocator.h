// Memory::Allocator: the abstract allocator every concrete allocator derives from. It
// carries a name, an optional allocation tracker, a spinning lock used when the
// allocator is made thread safe, and the switch that turns a failed allocation into an
// assertion report. Concrete allocators call PostAllocate from Allocate and PostFree
// from Free so that failure reports, free logs and trackers work the same everywhere.
#pragma once

#include "corelib/memory/allocation-tracker-interface.h"
#include "corelib/memory/memory-context.h"
#include "corelib/system/atomic-lock.h"
#include "corelib/util/types.h"

namespace Memory
{
// A position inside an allocator that can later be rewound to (FreeToMarker).
using Marker = U64;

class Allocator
{
public:
    // The name is kept by pointer and must outlive the allocator; it may be null.
    explicit Allocator(const char* name = nullptr);
    // Releases the lock state and detaches the tracker.
    virtual ~Allocator();

    Allocator(const Allocator&) = delete;
    Allocator& operator=(const Allocator&) = delete;

    // Resets the lock and forgets the tracker and the thread-safe flag.
    virtual void Shutdown();
    // Discards every allocation; the base tells the tracker to forget everything.
    virtual void Clear();
    // Gives back everything allocated after the marker; the base tells the tracker.
    virtual void FreeToMarker(const Marker& marker);
    // The current position for FreeToMarker (0 for allocators without one).
    virtual Marker GetMarker();
    // Starts a new frame; what keep means depends on the allocator.
    virtual void Reset(bool keep) = 0;
    // Per-frame housekeeping; nothing by default.
    virtual void Update();
    // Returns size bytes aligned to alignment (a power of two), or null.
    virtual void* Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function) = 0;
    // Releases a block this allocator returned.
    virtual void Free(void* p, const char* file, U32 line, const char* function) = 0;
    // What FreeIfOwned found.
    enum class FreeResult : U8
    {
        kNotInRange,      // p is outside this allocator's memory
        kInRangeNotValid, // inside, but not a live block: nothing freed
        kFreed,
    };
    // Frees p when this allocator owns it (IsPtrInRange and IsValidPtr both true), in one
    // call: Memory::Free asks the allocators on the thread's stack this way. The base asks
    // the two and calls Free; an allocator may answer faster.
    virtual FreeResult FreeIfOwned(void* p, const char* file, U32 line, const char* function);
    virtual bool IsInitialized() = 0;
    // True when p is a live block (or lies inside one) of this allocator.
    virtual bool IsValidPtr(const void* p) = 0;
    // True when p lies in the memory this allocator manages; the base asks IsValidPtr.
    virtual bool IsPtrInRange(const void* p);
    // True when p lies in either buffer of a double-buffered allocator; must be overridden before use.
    virtual bool IsPtrInDoubleFrameRange(const void* p);
    // Whether an allocation of this size and alignment would succeed; the base asks IsInitialized.
    virtual bool CanAllocate(U64 size, U64 alignment);
    virtual void* GetMemoryBase();
    virtual U64 GetTotalSize();
    virtual U64 GetFreeSize();
    // The base answers with GetFreeSize.
    virtual U64 GetLargestFreeBlock();
    // GetTotalSize() - GetFreeSize().
    virtual U64 GetUsedSize();
    virtual Alignment GetDefaultAlignment();
    // Rounds a request up to what the allocator would really hand out; the base keeps size.
    virtual U64 AdjustSize(U64 alignment, U64 size);
    // Size of the block behind p as the allocator sees it (0 when unknown).
    virtual U64 GetAllocSize(const void* p);
    virtual void UnmapMemory();
    virtual void MapMemory();
    // Serves a pending report request; the base only clears the request flag.
    virtual void ProcessReportRequest();
    // Address of the report request flag, so that any thread can raise a request.
    virtual U8* GetReportRequestFlag();

    // Attaches a tracker (only when none is attached, or null to keep none).
    void SetTracker(IAllocationTracker* pNewTracker);
    // Detaches the tracker and tells it that it serves no allocator any more.
    void RemoveTracker();
    IAllocationTracker* GetTracker() const { return m_pTracker; }
    // Renames the allocator and recomputes the name id.
    void SetName(const char* name);
    const char* GetName() const { return m_name; }
    // 64-bit FNV-1a of the name (0 for no name).
    U64 GetNameId() const { return m_nameId; }
    // Sets whether a failed allocation is reported as an assertion; returns the previous value.
    bool SetAssertOnFailure(bool assertOnFailure);
    // False on a worker whose job suppressed failure reports, else the allocator's switch.
    bool WillAssertOnFailure() const;
    // true re-initialises the lock before Lock/Unlock start acting.
    void SetThreadSafe(bool threadSafe);
    bool IsThreadSafe() const { return m_isThreadSafe; }
    // Takes the allocator's lock when it is thread safe.
    void Lock();
    // Releases the allocator's lock when it is thread safe.
    void Unlock();

protected:
    // Called by every concrete Allocate with its result: reports the allocation to the
    // tracker and a failure as the "pData" assertion (unless suppressed). extra is an
    // allocator-specific number handed to the tracker (for bump allocators the bytes
    // the request consumed, padding included).
    void PostAllocate(void* p, U64 size, U64 alignment, U32 extra, const char* file, U32 line,
                      const char* function);
    // Called by every concrete Free: writes the free log and tells the tracker.
    void PostFree(void* p, const char* file, U32 line, const char* function, U64 size);

    OxAtomicLock m_lock;
    U8 m_reportRequest = 0;
    bool m_isThreadSafe = false;
    IAllocationTracker* m_pTracker = nullptr;
    const char* m_name = nullptr;
    U64 m_nameId = 0;
    bool m_assertOnFailure = true;
};
} // namespace Memory
