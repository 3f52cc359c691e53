#include "corelib/system/cpu-info.h"

#include <gtest/gtest.h>

#include <chrono>

namespace
{
TEST(CpuUsagePercent, FromTimeCounts)
{
    struct Case
    {
        U64 m_busy;
        I64 m_system;
        U32 m_processors;
        U32 m_previous;
        U32 m_expected;
    };
    const Case kCases[] = {
        {5000000, 10000000, 1, 0, 50},   // half of one processor
        {5000000, 10000000, 2, 0, 25},   // the same spread over two
        {10000000, 10000000, 1, 0, 100}, // fully busy
        {0, 10000000, 8, 7, 0},          // idle
        {2999999, 10000000, 1, 0, 29},   // truncated toward zero
        {1234, 0, 4, 37, 37},            // no system time elapsed: the last value stays
        {1234, -10000, 4, 37, 37},       // the clock went back: the last value stays
        {1234, 10000, 0, 11, 11},        // no processor count: the last value stays
        {~U64(0), 1, 1, 0, 4294967040u}, // never a conversion past the range
    };
    for (const Case& c : kCases)
    {
        EXPECT_EQ(ComputeCpuUsagePercent(c.m_busy, c.m_system, c.m_processors, c.m_previous), c.m_expected)
            << c.m_busy << " / " << c.m_system << " / " << c.m_processors;
    }
}

// Keeps the calling thread busy for about the given time.
void Spin(std::chrono::milliseconds duration)
{
    const auto end = std::chrono::steady_clock::now() + duration;
    volatile U64 sink = 0;
    while (std::chrono::steady_clock::now() < end)
        sink = sink + 1;
}

TEST(CpuUsageSampling, AtMostOnceASecond)
{
    InitCpuUsageSampling();
    InitCpuUsageSampling(); // the baseline is taken once
    CpuInfo info = {};
    info.m_cpuUsagePercent = 99;
    // Within a second of the last sample time (0): no sample, the stored value returns.
    EXPECT_EQ(GetCpuUsagePercent(info, 0.5f), 99u);
    EXPECT_EQ(GetCpuUsagePercent(info, 1.0f), 99u);
    EXPECT_EQ(info.m_lastUsageSampleTime, 0.0f);

    Spin(std::chrono::milliseconds(60));
    const U32 first = GetCpuUsagePercent(info, 1.5f);
    EXPECT_EQ(info.m_lastUsageSampleTime, 1.5f);
    EXPECT_EQ(info.m_cpuUsagePercent, first);
    // One busy thread out of N processors, measured over the test's own run time.
    EXPECT_LE(first, 100u);
    EXPECT_GT(first, 0u);
    // A second call within a second returns the same value.
    Spin(std::chrono::milliseconds(10));
    EXPECT_EQ(GetCpuUsagePercent(info, 2.4f), first);
}

TEST(CpuUsageSampling, CallerHeldState)
{
    CpuUsageSampleState state = {10.0f};
    U32 percent = 1234;
    EXPECT_FALSE(SampleCpuUsage(state, 10.9f, &percent));
    EXPECT_EQ(percent, 1234u); // untouched without a sample
    EXPECT_EQ(state.m_lastSampleTime, 10.0f);
    Spin(std::chrono::milliseconds(20));
    if (SampleCpuUsage(state, 11.5f, &percent))
    {
        EXPECT_LE(percent, 100u);
    }
    EXPECT_EQ(state.m_lastSampleTime, 11.5f);
}
} // namespace
