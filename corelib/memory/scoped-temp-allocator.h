// Scoped temporary allocators: a private, lock-free heap allocator for the current thread
// (or job) for the duration of a scope. One process-wide system divides a buffer the
// host hands in into at most 64 equal blocks. The first scope of an owner takes a free
// block and the HeapAllocator over it; nested scopes of the same owner reuse that
// allocator and rewind it to their own entry marker when they end, so a scope frees
// exactly what was allocated inside it. Guard words around the system's static data
// catch stray writes into it.
#pragma once

#include "corelib/memory/allocator.h"
#include "corelib/util/types.h"

class HeapAllocator;

// The most blocks (and so the most concurrent owners) the system can serve.
constexpr U64 kMaxBlocks = 64;

// A guard of four fixed words; a changed word means something wrote over the data beside it.
struct ScopedTempMemoryWall
{
    // Writes the four magic words.
    void Set();
    // Asserts that every magic word still holds its value.
    void Verify() const;

    U32 m_magic[4];
};

// Splits size bytes at buffer into numBlocks blocks (a multiple of 1 KiB each) and makes
// the system usable. The buffer stays the caller's and must outlive the system. The
// calling thread needs an allocator stack, and the allocator of kAllocSystemDirect must
// be registered: the owner table's node-usage word comes from it.
void InitializeScopedTempAllocSystem(void* buffer, U64 size, U64 numBlocks);
// Ends the system (no scope may be open); no scope can start until the next initialisation.
void ShutdownScopedTempAllocSystem();
// The allocator the owner with this key currently holds, or null.
HeapAllocator* GetScopedTempAllocatorForOwner(I64 key);
// The most blocks in use at once since the previous call (which starts a new period from
// the count in use now); also raises the all-time highest count.
U32 TakeScopedTempPeak();
// The most blocks ever in use at once, as of the last TakeScopedTempPeak.
U32 GetScopedTempPeakEver();
// Bytes in each block (0 while the system is down).
U64 GetScopedTempBlockSize();
// Number of blocks (0 while the system is down).
U64 GetScopedTempNumBlocks();

// A scope's hold on its owner's temporary allocator. Construct, Init (or use the
// initialising constructor or OX_SCOPED_TEMP_ALLOCATOR), allocate, and let the destructor
// give everything back. Scopes of one owner nest strictly; an allocator is not thread safe
// and belongs to its owner alone.
class ScopedTempAllocator
{
public:
    ScopedTempAllocator() = default;
    // Constructs and calls Init.
    ScopedTempAllocator(bool pushAllocator, const char* sourceFile, U32 sourceLine, const char* sourceFunc)
    {
        Init(pushAllocator, sourceFile, sourceLine, sourceFunc);
    }
    // Pops the allocator when this scope pushed it, rewinds it to the entry marker and
    // releases the block when this scope took it.
    ~ScopedTempAllocator();
    ScopedTempAllocator(const ScopedTempAllocator&) = delete;
    ScopedTempAllocator& operator=(const ScopedTempAllocator&) = delete;

    // Takes the owner's allocator (a free block for the owner's first scope) and, when
    // pushAllocator is true, makes it the thread's current allocator. The source location
    // names the scope in the out-of-blocks report.
    void Init(bool pushAllocator, const char* sourceFile, U32 sourceLine, const char* sourceFunc);

    // Allocates from the scope's allocator (null, with the allocator's failure report, when the block is
    // full).
    void* Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function);
    // The free size of the allocator (0 without one).
    U64 GetFreeSize() const;
    HeapAllocator* GetAllocator() const { return m_pAllocInst; }
    // Keeps what the scope allocated when it ends: the owner's enclosing scope frees it.
    void SetSkipRewind(bool skip) { m_skipRewind = skip ? 1 : 0; }

private:
    HeapAllocator* m_pAllocInst = nullptr;
    Memory::Marker m_entryMarker = 0;
    U8 m_tookBlock = 0;
    U8 m_pushedAllocator = 0;
    U8 m_skipRewind = 0;
};

// Declares a scoped temporary allocator named name, initialised at this source location.
#define OX_SCOPED_TEMP_ALLOCATOR(name, pushAllocator)                                                        \
    ScopedTempAllocator name(pushAllocator, __FILE__, __LINE__, __func__)
