// A job system fixture for the tests: a memory block sized for the parameters, the host
// thread's allocator stack, Initialize in SetUp and Shutdown in TearDown. Power save is
// on so that idle workers sleep instead of spinning on the test machine's cores.
#pragma once

#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/memory/alloc-stack.h"
#include "corelib/util/msg.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

namespace jobtest
{
// The scheduling policy the job tests run on: kWorkerLocalLists when the environment sets
// OX_JOB_SCHEDULING_POLICY=local (each job test is registered once per policy), else
// kSharedLists.
inline oxjob::SchedulingPolicy TestSchedulingPolicy()
{
    const char* pValue = std::getenv("OX_JOB_SCHEDULING_POLICY");
    return pValue && std::string(pValue) == "local" ? oxjob::SchedulingPolicy::kWorkerLocalLists
                                                    : oxjob::SchedulingPolicy::kSharedLists;
}

// Chosen before any test starts a job system.
inline const bool g_testSchedulingPolicySet = []
{
    oxjob::SetSchedulingPolicy(TestSchedulingPolicy());
    return true;
}();

inline bool IsWorkerLocalPolicy()
{
    return oxjob::GetSchedulingPolicy() == oxjob::SchedulingPolicy::kWorkerLocalLists;
}

// Bytes of job declaration pool the fixtures add to the required size.
constexpr U64 kJobDeclPoolBytes = 1u << 20;

// Small, test-sized parameters: n regular workers, no emergency worker.
inline oxjob::InitParams SmallParams(U64 numWorkers, U64 numEmergency = 0)
{
    oxjob::InitParams params;
    params.m_numWorkerThreads = numWorkers;
    params.m_numEmergencyWorkerThreads = numEmergency;
    params.m_numCounters = 256;
    params.m_numJobArrays = 256;
    params.m_maxSmallJobFibers = 32;
    params.m_maxLargeJobFibers = 8;
    return params;
}

// Owns a memory block for a job system and runs it.
class JobSystemHost
{
public:
    explicit JobSystemHost(const oxjob::InitParams& params, U64 extraBytes = kJobDeclPoolBytes)
        : m_params(params)
    {
        if (!Memory::GetThreadAllocStack())
            Memory::InitializeThreadAllocStack();
        m_size = (oxjob::GetRequiredMemoryBufferSize(params) + extraBytes + 127) & ~127ull;
        m_pBuffer = ::operator new(m_size, std::align_val_t(128));
        m_params.m_pMemoryBuffer = m_pBuffer;
        m_params.m_memoryBufferSize = m_size;
    }
    ~JobSystemHost()
    {
        if (oxjob::IsInitialized())
            oxjob::Shutdown();
        ::operator delete(m_pBuffer, std::align_val_t(128));
    }
    JobSystemHost(const JobSystemHost&) = delete;
    JobSystemHost& operator=(const JobSystemHost&) = delete;

    void Start(bool powerSave = true)
    {
        ASSERT_TRUE(oxjob::Initialize(&m_params).IsSuccess());
        oxjob::SetPowerSaveEnabled(powerSave);
    }
    void Stop() { oxjob::Shutdown(); }

    oxjob::InitParams m_params;
    void* m_pBuffer = nullptr;
    U64 m_size = 0;
};

// A fixture parameterised by the number of regular workers.
class JobSystemTest : public testing::TestWithParam<U64>
{
protected:
    void SetUp() override
    {
        m_pHost = new JobSystemHost(SmallParams(GetParam()));
        m_pHost->Start();
    }
    void TearDown() override { delete m_pHost; }

    JobSystemHost* m_pHost = nullptr;
};

// Declares a job with an entry function and argument, 64-byte aligned as AddJobs wants.
inline oxjob::JobDecl MakeJob(oxjob::JobEntryFunc pStartFunc, U64 startArg, U64 flags = 0)
{
    oxjob::JobDecl decl;
    decl.m_pStartFunc = pStartFunc;
    decl.m_startArg = startArg;
    decl.m_flags = flags;
    return decl;
}

// Records what is printed on one message channel while in scope.
class DoutCaptureScope
{
public:
    explicit DoutCaptureScope(int channel) : m_channel(channel), m_pPrevious(GetMsgOutput(channel))
    {
        SetMsgOutput(channel, &m_capture);
    }
    ~DoutCaptureScope() { SetMsgOutput(m_channel, m_pPrevious); }
    DoutCaptureScope(const DoutCaptureScope&) = delete;
    DoutCaptureScope& operator=(const DoutCaptureScope&) = delete;

    const std::string& Text() const { return m_capture.m_text; }

private:
    int m_channel;
    DoutBase* m_pPrevious;
    DoutCapture m_capture;
};

// Writes channel output to standard error on one line (newlines become blanks), so a death
// test can match the printed report and the assertion report that follows in one pattern.
class DoutStderrOneLine : public DoutBase
{
public:
    const char* GetName() const override { return "StderrOneLine"; }
    void Print(const char* text) override
    {
        for (const char* p = text; *p; ++p)
            fputc(*p == '\n' ? ' ' : *p, stderr);
        fflush(stderr);
    }
};

// Checks made inside a job cannot report to the test directly: the first one that fails
// leaves its line here, and the test reports it after the jobs have finished.
inline std::atomic<int> s_firstFailedLine{0};

#define JOB_CHECK(condition)                                                                                 \
    do                                                                                                       \
    {                                                                                                        \
        if (!(condition))                                                                                    \
        {                                                                                                    \
            int none = 0;                                                                                    \
            ::jobtest::s_firstFailedLine.compare_exchange_strong(none, __LINE__);                            \
        }                                                                                                    \
    } while (0)

// Spins (yielding) until the flag is set.
inline void SpinUntil(const std::atomic<bool>& flag)
{
    while (!flag.load(std::memory_order_acquire))
        std::this_thread::yield();
}
} // namespace jobtest
