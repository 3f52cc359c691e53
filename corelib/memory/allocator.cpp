// The behaviour Memory::Allocator gives every allocator: defaults of the virtual
// operations, tracker attachment, the lock, and the reports after Allocate and Free.
#include "corelib/memory/allocator.h"

#include "corelib/memory/memory-job-local.h"
#include "corelib/memory/memory-map.h"
#include "corelib/memory/memory.h"
#include "corelib/system/running-job.h"
#include "corelib/util/fnv-hash.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"
#include "corelib/util/source-path.h"

#include <cinttypes>
#include <cstring>

namespace Memory
{
namespace
{
constexpr int kMsgChannelFreeLog = 23;

U64 NameId(const char* name)
{
    return name ? Fnv1aHashText64(name, kFnv64OffsetBasis) : 0;
}
} // namespace

Allocator::Allocator(const char* name) : m_name(name), m_nameId(NameId(name)) {}

Allocator::~Allocator()
{
    m_lock.Release();
    m_pTracker = nullptr;
}

void Allocator::Shutdown()
{
    m_lock.Init();
    m_pTracker = nullptr;
    m_isThreadSafe = false;
}

void Allocator::Clear()
{
    if (m_pTracker)
        m_pTracker->Clear();
}

void Allocator::FreeToMarker(const Marker& marker)
{
    if (m_pTracker)
        m_pTracker->FreeToMarker(marker);
}

Marker Allocator::GetMarker()
{
    return 0;
}

void Allocator::Update() {}

bool Allocator::IsPtrInRange(const void* p)
{
    return IsValidPtr(p);
}

Allocator::FreeResult Allocator::FreeIfOwned(void* p, const char* file, U32 line, const char* function)
{
    if (!IsPtrInRange(p))
        return FreeResult::kNotInRange;
    if (!IsValidPtr(p))
        return FreeResult::kInRangeNotValid;
    Free(p, file, line, function);
    return FreeResult::kFreed;
}

bool Allocator::IsPtrInDoubleFrameRange(const void*)
{
    // Only double-buffered allocators can answer; asking any other one is a mistake.
    OX_ASSERT(0);
    return false;
}

bool Allocator::CanAllocate(U64, U64)
{
    return IsInitialized();
}

void* Allocator::GetMemoryBase()
{
    return nullptr;
}

U64 Allocator::GetTotalSize()
{
    return 0;
}

U64 Allocator::GetFreeSize()
{
    return 0;
}

U64 Allocator::GetLargestFreeBlock()
{
    return GetFreeSize();
}

U64 Allocator::GetUsedSize()
{
    return GetTotalSize() - GetFreeSize();
}

Alignment Allocator::GetDefaultAlignment()
{
    return static_cast<Alignment>(1);
}

U64 Allocator::AdjustSize(U64, U64 size)
{
    return size;
}

U64 Allocator::GetAllocSize(const void*)
{
    return 0;
}

void Allocator::UnmapMemory() {}

void Allocator::MapMemory() {}

void Allocator::ProcessReportRequest()
{
    m_reportRequest = 0;
}

U8* Allocator::GetReportRequestFlag()
{
    return &m_reportRequest;
}

void Allocator::SetTracker(IAllocationTracker* pNewTracker)
{
    OX_ASSERT(pNewTracker == nullptr || m_pTracker == nullptr);
    m_pTracker = pNewTracker;
    if (pNewTracker)
        pNewTracker->SetAllocator(this);
}

void Allocator::RemoveTracker()
{
    if (m_pTracker)
        m_pTracker->SetAllocator(nullptr);
    m_pTracker = nullptr;
}

void Allocator::SetName(const char* name)
{
    m_name = name;
    m_nameId = NameId(name);
}

bool Allocator::SetAssertOnFailure(bool assertOnFailure)
{
    const bool previous = m_assertOnFailure;
    m_assertOnFailure = assertOnFailure;
    return previous;
}

bool Allocator::WillAssertOnFailure() const
{
    if (oxsys::IsJobWorkerThread() && IsJobSuppressingAllocFail())
        return false;
    return m_assertOnFailure;
}

void Allocator::SetThreadSafe(bool threadSafe)
{
    if (threadSafe)
        m_lock.Init();
    m_isThreadSafe = threadSafe;
}

void Allocator::Lock()
{
    if (m_isThreadSafe)
        m_lock.AcquireLock(__FILE__, __LINE__,
                           m_name ? m_name : __func__); // a deadlock report names the allocator
}

void Allocator::Unlock()
{
    if (m_isThreadSafe)
        m_lock.Release();
}

void Allocator::PostAllocate(void* p, U64 size, U64 alignment, U32 extra, const char* file, U32 line,
                             const char* function)
{
    // A tracker learns of every successful allocation, so that its records, reports and
    // the releases PostFree reports all agree.
    if (p && m_pTracker)
        m_pTracker->TrackAllocation(file, line, function, static_cast<U32>(size), extra, 0,
                                    static_cast<U64>(reinterpret_cast<UPtr>(p)));
    if (oxsys::IsJobWorkerThread() && IsJobSuppressingAllocFail())
        return;
    if (p || !m_assertOnFailure)
        return;
    // The report may stop in a debugger; other threads must not wait on our lock meanwhile.
    Unlock();
    const char* name = m_name ? m_name : (m_pTracker ? m_pTracker->GetName() : "Unnamed");
    const void* pData = p;
    OX_ASSERT_MSG(pData,
                  "Allocation failed: %" PRIu64 " bytes %d aligned in %s:%d.\n%s [Free: %" PRIu64
                  " Total: %" PRIu64 "]",
                  size, static_cast<int>(alignment), SourceFileName(file), static_cast<int>(line), name,
                  GetFreeSize(), GetTotalSize());
}

void Allocator::PostFree(void* p, const char* file, U32 line, const char* function, U64 size)
{
    const Context logContext = GetFreeLogContext();
    if (logContext.GetValue() != 0 && GetAllocator(logContext) == this)
    {
        constexpr F32 kToMiB = 1.0f / 1048576.0f;
        SetActiveMsgOutput(kMsgChannelFreeLog);
        PrintToActiveMsgOutput(
            "%s,  FREE, %10u,B, %7.4f,MB, %7.4f,freeMB, %s,%u,\"%s\"\n", GetContextName(logContext),
            static_cast<U32>(size), static_cast<double>(static_cast<F32>(size) * kToMiB),
            static_cast<double>(static_cast<F32>(GetLargestFreeBlock()) * kToMiB), file ? file : "UNKNOWN",
            line == 0xFFFFFFFFu ? 0u : line, function ? function : "UNKNOWN");
    }
    if (m_pTracker)
        m_pTracker->TrackDeallocation(file, line, function, static_cast<U64>(reinterpret_cast<UPtr>(p)),
                                      static_cast<U32>(size));
}
} // namespace Memory
