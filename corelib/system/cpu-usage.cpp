// CPU-usage sampling of the whole process against a process-wide baseline.
#include "corelib/system/cpu-info-platform.h"
#include "corelib/system/cpu-info.h"

namespace
{
// The process-wide baseline; sampling is meant for one thread, so it is not locked.
struct CpuUsageBaseline
{
    U32 m_numProcessors;
    U64 m_lastSystemTime;
    U64 m_lastBusyTime;
    bool m_initialised;
};
CpuUsageBaseline s_usageBaseline;

constexpr F32 kSampleInterval = 1.0f;

void TakeBaseline()
{
    CpuProcessTimes times = CpuReadProcessTimes();
    s_usageBaseline.m_numProcessors = GetNumLogicalProcessors();
    s_usageBaseline.m_lastSystemTime = times.m_systemTime;
    s_usageBaseline.m_lastBusyTime = times.m_busyTime;
    s_usageBaseline.m_initialised = true;
}

// Reads the times again and computes the usage since the baseline. A sample with no
// elapsed system time has no meaningful usage: it reports nothing and keeps the
// baseline so the next sample covers the whole interval. A system clock set back
// restarts the baseline.
bool TakeSample(U32* pOutPercent)
{
    CpuProcessTimes times = CpuReadProcessTimes();
    const I64 systemDelta = I64(times.m_systemTime - s_usageBaseline.m_lastSystemTime);
    if (systemDelta == 0)
        return false;
    const U64 busyDelta = times.m_busyTime >= s_usageBaseline.m_lastBusyTime
                              ? times.m_busyTime - s_usageBaseline.m_lastBusyTime
                              : 0;
    s_usageBaseline.m_lastSystemTime = times.m_systemTime;
    s_usageBaseline.m_lastBusyTime = times.m_busyTime;
    if (systemDelta < 0)
        return false;
    *pOutPercent = ComputeCpuUsagePercent(busyDelta, systemDelta, s_usageBaseline.m_numProcessors, 0);
    return true;
}
} // namespace

void InitCpuUsageSampling()
{
    if (!s_usageBaseline.m_initialised)
        TakeBaseline();
}

U32 ComputeCpuUsagePercent(U64 busyDelta, I64 systemDelta, U32 numProcessors, U32 previousPercent)
{
    if (systemDelta <= 0 || numProcessors == 0)
        return previousPercent;
    const F32 usage = (F32(busyDelta) / F32(systemDelta)) / F32(numProcessors);
    // Busy time can only outrun the clock by measurement skew; still never convert a
    // float beyond the range of the result.
    const F32 percent = usage * 100.0f;
    return percent < 4294967040.0f ? U32(percent) : 4294967040u;
}

bool SampleCpuUsage(CpuUsageSampleState& state, F32 nowSeconds, U32* pOutPercent)
{
    InitCpuUsageSampling();
    if (!(nowSeconds - state.m_lastSampleTime > kSampleInterval))
        return false;
    state.m_lastSampleTime = nowSeconds;
    return TakeSample(pOutPercent);
}

U32 GetCpuUsagePercent(CpuInfo& info, F32 nowSeconds)
{
    CpuUsageSampleState state = {info.m_lastUsageSampleTime};
    U32 percent = 0;
    if (SampleCpuUsage(state, nowSeconds, &percent))
        info.m_cpuUsagePercent = percent;
    info.m_lastUsageSampleTime = state.m_lastSampleTime;
    return info.m_cpuUsagePercent;
}
