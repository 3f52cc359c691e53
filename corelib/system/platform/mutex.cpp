#include "corelib/system/platform/mutex.h"

#include "corelib/system/platform/cpu-pause.h"
#include "corelib/system/platform/mutex-platform.h"
#include "corelib/system/timing.h"
#include "corelib/util/msg-assert.h"

#include <atomic>
#include <cstring>

namespace oxsys
{
namespace
{
// The count is written by the owner only, but IsLocked may be asked from any thread:
// the stores and that load are relaxed atomics (plain moves on x86-64).
inline void StoreLockCount(Mutex* pMutexData, I32 count)
{
    std::atomic_ref<I32>(pMutexData->m_lockCount).store(count, std::memory_order_relaxed);
}

// The count checks of a successful entry: the owner may enter again only a recursive mutex.
inline void CountEntry(Mutex* pMutexData)
{
    OX_ASSERT(pMutexData->m_lockCount >= 0);
    if (pMutexData->m_lockCount > 0)
        OX_ASSERT(pMutexData->m_type == MUTEX_RECURSIVE);
    StoreLockCount(pMutexData, pMutexData->m_lockCount + 1);
}
} // namespace

void MutexDesc::SetName(const char* name)
{
    std::memset(m_name, 0, sizeof(m_name));
    if (name)
        std::strncpy(m_name, name, sizeof(m_name) - 1);
}

Mutex::Mutex()
{
    OX_ASSERT(IsPointerAligned(this, kAlign16));
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
}

Mutex::~Mutex()
{
    if (m_initialized)
        DestroyMutex(*this);
}

void CreateMutex(const MutexDesc& desc, Mutex& mutex)
{
    Mutex* pData = &mutex;
    OX_ASSERT(!pData->m_initialized);
    PlatformInitMutex(mutex);
    pData->m_lockCount = 0;
    pData->m_type = desc.m_type;
    pData->m_initialized = true;
}

void DestroyMutex(Mutex& mutex)
{
    if (mutex.m_initialized)
        PlatformDeleteMutex(mutex);
    std::memset(static_cast<void*>(&mutex), 0, sizeof(mutex));
}

bool Mutex::Lock(U32 timeoutMs)
{
    Mutex* pMutexData = this;
    OX_ASSERT_MSG(timeoutMs > 0, "Zero timeout is not allowed - Use TryLock instead.");
    OX_ASSERT(pMutexData->m_initialized);
    if (timeoutMs == kInfinite)
    {
        PlatformEnterMutex(*this);
    }
    else if (!PlatformTryEnterMutex(*this)) // a free mutex needs no counter reads
    {
        const U64 start = GetTimeNow();
        while (!PlatformTryEnterMutex(*this))
        {
            const U64 now = GetTimeNow();
            const U64 elapsedMs = static_cast<U64>(TicksToSeconds(now - start) * 1000.0f);
            if (elapsedMs > timeoutMs)
                return false;
            // A short, counter-dependent back-off (0 to 7 pauses) spreads the retries of
            // several waiters.
            for (U64 i = 0, n = now & 7; i < n; ++i)
                CpuPause();
        }
    }
    CountEntry(pMutexData);
    return true;
}

bool Mutex::TryLock()
{
    Mutex* pMutexData = this;
    OX_ASSERT(pMutexData->m_initialized);
    if (!PlatformTryEnterMutex(*this))
        return false;
    CountEntry(pMutexData);
    return true;
}

void Mutex::Unlock()
{
    Mutex* pMutexData = this;
    OX_ASSERT(pMutexData->m_initialized);
    if (pMutexData->m_lockCount > 0)
    {
        StoreLockCount(pMutexData, pMutexData->m_lockCount - 1);
        PlatformLeaveMutex(*this);
        return;
    }
    OX_ASSERT(pMutexData->m_lockCount > 0);
}

bool Mutex::IsLocked() const
{
    return std::atomic_ref<I32>(const_cast<I32&>(m_lockCount)).load(std::memory_order_relaxed) > 0;
}

bool Mutex::IsInitialized() const
{
    return m_initialized;
}

void AdjustMutexPayloadValidationLockCounter(Mutex* pMutexData, bool increment)
{
    if (increment)
    {
        OX_ASSERT(pMutexData->m_lockCount >= 0 &&
                  (pMutexData->m_type == MUTEX_RECURSIVE || pMutexData->m_lockCount == 0));
        StoreLockCount(pMutexData, pMutexData->m_lockCount + 1);
    }
    else
    {
        OX_ASSERT(pMutexData->m_lockCount > 0);
        StoreLockCount(pMutexData, pMutexData->m_lockCount - 1);
    }
}
} // namespace oxsys
