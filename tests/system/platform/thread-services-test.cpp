#include "corelib/system/platform/thread-services.h"

#include "corelib/system/platform/platform-error.h"
#include "corelib/system/platform/thread.h"
#include "tests/support/host-environment.h"

#include <gtest/gtest.h>

using namespace oxsys;

namespace
{
// Runs the body on a fresh thread, as a worker thread starts.
void OnNewThread(void (*body)())
{
    Thread thread;
    CreateThread(
        thread, ThreadDesc(),
        [](void* pArgument) -> U32
        {
            reinterpret_cast<void (*)()>(pArgument)();
            return 0;
        },
        reinterpret_cast<void*>(body));
    thread.Join();
    ReleaseThreadHandle(thread);
}

TEST(ThreadServicesTest, ComInitialisesOnWorkerThreadsAndNests)
{
    OnNewThread(
        []
        {
            ASSERT_TRUE(InitializeThreadCom()) << "error 0x" << std::hex << GetLastPlatformError();
            // Joining the same apartment again succeeds and needs its own uninitialisation.
            ASSERT_TRUE(InitializeThreadCom());
            UninitializeThreadCom();
            UninitializeThreadCom();
            // A thread may join again after leaving.
            ASSERT_TRUE(InitializeThreadCom());
            UninitializeThreadCom();
            // With nothing left to balance, leaving again is harmless, and the thread can
            // still join and leave after it.
            UninitializeThreadCom();
            ASSERT_TRUE(InitializeThreadCom());
            UninitializeThreadCom();
        });
}

// An emergency worker's start and end. Wine may not offer the scheduler service, so only
// the contract is checked there: a failure is reported with an error, and ending is
// harmless either way.
TEST(ThreadServicesTest, ProAudioTaskRegistersRaisesAndReverts)
{
    OnNewThread(
        []
        {
            const bool mustSucceed = !RunningUnderWine();
            const U64 task = BeginProAudioThreadTask();
            if (task == 0)
            {
                EXPECT_FALSE(mustSucceed) << "error 0x" << std::hex << GetLastPlatformError();
                EXPECT_NE(GetLastPlatformError(), 0u);
            }
            else
            {
                const bool raised = SetThreadTaskPriorityHigh(task);
                if (!raised)
                {
                    EXPECT_FALSE(mustSucceed);
                    EXPECT_NE(GetLastPlatformError(), 0u);
                }
            }
            EndThreadTask(task); // also with 0: no registration was made
        });
}

TEST(ThreadServicesTest, NoTaskHandleFailsToRaiseAndEndsHarmlessly)
{
    EXPECT_FALSE(SetThreadTaskPriorityHigh(0));
    EXPECT_NE(GetLastPlatformError(), 0u);
    EndThreadTask(0);
}
} // namespace
