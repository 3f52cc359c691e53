#include "corelib/system/platform/thread.h"

#include "corelib/system/platform/thread-platform.h"
#include "corelib/util/msg-assert.h"

#include <cstring>

namespace oxsys
{
void ThreadDesc::SetName(const char* name)
{
    std::memset(m_name, 0, sizeof(m_name));
    if (name)
        std::strncpy(m_name, name, kMaxThreadNameLength);
}

Thread::Thread()
{
    OX_ASSERT(IsPointerAligned(this, kAlign16));
    nativeThread = 0;
    m_threadId = 0;
    m_flags = 0;
}

void Thread::Join()
{
    const bool joinable = IsJoinable();
    OX_ASSERT_MSG(joinable, "Attempted to join a non-joinable thread!");
    OX_ASSERT(nativeThread);
    // Waiting for oneself never ends; the current-thread handle is joinable, so say so.
    OX_ASSERT_MSG(m_threadId != CurrentThreadId(), "A thread cannot join itself");
    PlatformJoinThread(*this);
}

void ReleaseThreadHandle(Thread& thread)
{
    const U64 nativeThread = thread.nativeThread;
    OX_ASSERT(nativeThread);
    PlatformCloseThread(thread);
    thread.nativeThread = 0;
    thread.m_threadId = 0;
    thread.m_flags = 0;
}

U32 SuspendThread(Thread& thread)
{
    const U64 nativeThread = thread.nativeThread;
    OX_ASSERT(nativeThread);
    return PlatformSuspendThread(thread);
}

U32 ResumeThread(Thread& thread)
{
    const U64 nativeThread = thread.nativeThread;
    OX_ASSERT(nativeThread);
    return PlatformResumeThread(thread);
}
} // namespace oxsys
