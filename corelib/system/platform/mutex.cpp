// The parts of oxsys::Mutex that do not enter or leave the OS lock; Lock, TryLock and
// Unlock are defined by each platform's mutex file (mutex-entry.h).
#include "corelib/system/platform/mutex.h"

#include "corelib/system/platform/mutex-entry.h"
#include "corelib/system/platform/mutex-platform.h"
#include "corelib/util/msg-assert.h"

#include <atomic>
#include <cstring>

namespace oxsys
{
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
