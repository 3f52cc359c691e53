// The locks open a "Waiting" profiler region only while they wait for another thread.
#include "corelib/job/job-system-priv.h"
#include "corelib/system/atomic-lock.h"
#include "corelib/system/platform/mutex.h"
#include "corelib/system/profile-capture-reader.h"
#include "corelib/system/profiler-events.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace
{
// A block installed full: the first event asks the replace callback, which tells the
// test that the thread has begun to wait and hands over the real block.
struct WaitWatch
{
    static inline std::atomic<bool> s_waiting{false};
    static inline ProfileEventBlock* s_pRealBlock = nullptr;

    std::vector<U64> m_words = std::vector<U64>(256 + kProfileEventBlockSlackWords);
    ProfileEventBlock m_real;
    ProfileEventBlock m_full;

    WaitWatch()
    {
        m_real.m_pDestination = m_words.data();
        m_real.m_pLimit = m_words.data() + 256;
        m_words[0] = kProfileEventEndOfBlock;
        s_pRealBlock = &m_real;
        s_waiting = false;
        SetProfileEventReplaceBlock(Replace);
    }
    ~WaitWatch() { SetProfileEventReplaceBlock(nullptr); }

    static U64 Replace(ProfileEventBlock* pBlock)
    {
        pBlock->m_pDestination = s_pRealBlock->m_pDestination;
        pBlock->m_pLimit = s_pRealBlock->m_pLimit;
        s_waiting = true;
        return 1;
    }

    // Runs lock on a thread whose block is full until it waits.
    void RunOnWatchedThread(const std::function<void()>& lock)
    {
        std::thread waiter(
            [this, lock]
            {
                m_full.m_pDestination = m_words.data();
                m_full.m_pLimit = m_words.data();
                SetProfileEventBlock(&m_full);
                lock();
                SetProfileEventBlock(nullptr);
            });
        m_pWaiter = std::move(waiter);
    }
    void Join() { m_pWaiter.join(); }

    std::vector<ProfileRegion> Regions()
    {
        ProfileEventSpan span{m_words.data(), m_words.data() + m_words.size() - 1};
        return ReadProfileEventSpans(&span, 1, 0, ~0ull >> 1);
    }
    std::thread m_pWaiter;
};

void WaitUntilWaiting()
{
    while (!WaitWatch::s_waiting.load())
        std::this_thread::yield();
}
} // namespace

TEST(LockWaitRegions, MutexOpensNoRegionWhenFree)
{
    oxsys::Mutex mutex;
    oxsys::MutexDesc desc;
    oxsys::CreateMutex(desc, mutex);
    std::vector<U64> words(64 + kProfileEventBlockSlackWords);
    ProfileEventBlock block{words.data(), words.data() + 64};
    ProfileEventBlock* pPrevious = SetProfileEventBlock(&block);
    mutex.Lock();
    mutex.Unlock();
    oxsys::LockMutexNamingTheWait(mutex, "Waiting: named");
    mutex.Unlock();
    SetProfileEventBlock(pPrevious);
    EXPECT_EQ(block.m_pDestination, words.data());
    oxsys::DestroyMutex(mutex);
}

TEST(LockWaitRegions, MutexWaitIsARegion)
{
    struct Case
    {
        const char* m_waitName; // null: Mutex::Lock
        const char* m_expected;
    };
    const Case cases[] = {{nullptr, "Waiting"}, {"Waiting: scheduling (test)", "Waiting: scheduling (test)"}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.m_expected);
        oxsys::Mutex mutex;
        oxsys::MutexDesc desc;
        oxsys::CreateMutex(desc, mutex);
        WaitWatch watch;
        mutex.Lock();
        watch.RunOnWatchedThread(
            [&]
            {
                if (c.m_waitName)
                    oxsys::LockMutexNamingTheWait(mutex, c.m_waitName);
                else
                    mutex.Lock();
                mutex.Unlock();
            });
        WaitUntilWaiting();
        mutex.Unlock();
        watch.Join();
        std::vector<ProfileRegion> regions = watch.Regions();
        ASSERT_EQ(regions.size(), 1u);
        EXPECT_EQ(regions[0].m_name, c.m_expected);
        EXPECT_FALSE(regions[0].m_openAtStop);
        oxsys::DestroyMutex(mutex);
    }
}

// The job system's locks name the lock and the caller's label.
TEST(LockWaitRegions, JobSystemLockWaitNamesTheLockAndTheCaller)
{
    struct Case
    {
        const char* m_label;
        const char* m_expected;
    };
    const Case cases[] = {
        {"ScheduleWokenUpJobNoLock", "Waiting: jobSysSchedData 3 (ScheduleWokenUpJobNoLock)"},
        {nullptr, "Waiting: jobSysSchedData 3"}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.m_expected);
        oxjob::JobSystemLock lock{};
        lock.Init("jobSysSchedData 3");
        WaitWatch watch;
        lock.Lock("holder");
        watch.RunOnWatchedThread(
            [&lock, c]
            {
                lock.Lock(c.m_label);
                lock.Unlock();
            });
        WaitUntilWaiting();
        lock.Unlock();
        watch.Join();
        std::vector<ProfileRegion> regions = watch.Regions();
        ASSERT_EQ(regions.size(), 1u);
        EXPECT_EQ(regions[0].m_name, c.m_expected);
        lock.Shutdown();
    }
}
