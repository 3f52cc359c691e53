#include "corelib/system/platform/condition-variable.h"

#include "corelib/system/platform/condition-variable-platform.h"
#include "corelib/util/msg-assert.h"

#include <cstring>

namespace oxsys
{
namespace
{
// The Windows name of "no time-out", under which the assertion below is known.
constexpr U32 INFINITE = kInfinite;
} // namespace

void ConditionVariableDesc::SetName(const char* name)
{
    std::memset(m_name, 0, sizeof(m_name));
    if (name)
        std::strncpy(m_name, name, sizeof(m_name) - 1);
}

ConditionVariable::ConditionVariable()
{
    OX_ASSERT(IsPointerAligned(this, kAlign16));
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
}

ConditionVariable::~ConditionVariable()
{
    if (m_initialized)
        DestroyConditionVariable(*this);
}

void CreateConditionVariable(const ConditionVariableDesc& desc, ConditionVariable& cv)
{
    ConditionVariable* pData = &cv;
    OX_ASSERT(!pData->m_initialized);
    PlatformInitConditionVariable(cv);
    pData->m_initialized = true;
}

void DestroyConditionVariable(ConditionVariable& cv)
{
    if (cv.m_initialized)
        PlatformDeleteConditionVariable(cv);
    std::memset(static_cast<void*>(&cv), 0, sizeof(cv));
}

void ConditionVariable::Signal()
{
    ConditionVariable* pData = this;
    OX_ASSERT(pData->m_initialized);
    PlatformSignalConditionVariable(*this);
}

void ConditionVariable::Broadcast()
{
    ConditionVariable* pData = this;
    OX_ASSERT(pData->m_initialized);
    PlatformBroadcastConditionVariable(*this);
}

bool ConditionVariable::Wait(Mutex& mutex, U32 timeoutMs)
{
    ConditionVariable* pData = this;
    OX_ASSERT(pData->m_initialized);
    OX_ASSERT_MSG(timeoutMs > 0, "Zero timeout is not allowed");
    // The wait releases the OS lock once; a mutex held more often would stay locked and
    // the signaller could never get in.
    OX_ASSERT_MSG(mutex.m_lockCount == 1, "Wait needs the mutex held exactly once by the caller");
    AdjustMutexPayloadValidationLockCounter(&mutex, false);
    const bool result = PlatformWaitConditionVariable(*this, mutex, timeoutMs);
    AdjustMutexPayloadValidationLockCounter(&mutex, true);
    if (!result && timeoutMs == INFINITE)
        OX_ASSERT(result == true || timeoutMs != INFINITE);
    return result;
}
} // namespace oxsys
