// Processor information: vendor, brand, logical processor count, nominal frequencies
// and instruction-set features read with the cpuid instruction, a fixed-format report,
// and small queries for physical memory and the process's CPU usage.
//
// Detection reads cpuid through a CpuidSource so that tests can feed the registers of
// recorded processors; the default source executes the instruction. A process-wide
// record, g_cpuInfo, is detected once during static start-up.
#pragma once

#include "corelib/util/types.h"

// Feature ids: bit n of CpuInfo::m_features is set when feature n is present.
enum CpuFeature : U64
{
    kCpuFeatureMmx = 0,
    kCpuFeatureMmxExt = 1,
    kCpuFeatureAvx = 2,
    kCpuFeatureAvx2 = 3,
    kCpuFeatureSse = 4,
    kCpuFeatureSse2 = 5,
    kCpuFeatureSse3 = 6,
    kCpuFeatureSse41 = 7,
    kCpuFeatureSse42 = 8,
    kCpuFeatureSse4a = 9,
    kCpuFeatureF16c = 10,
    kCpuFeatureBmi1 = 11,
    kCpuFeatureBmi2 = 12,
    kCpuFeatureAbm = 13,
    kCpuFeatureLzcnt = 14,
    kCpuFeaturePopcnt = 15,
    kCpuFeatureRdtscp = 16,
    kCpuFeatureXsave = 17,
    kCpuFeatureOsxsave = 18,
    kCpuFeatureMonitor = 19,
    kCpuFeatureSsse3 = 20,
    kCpuFeatureFma = 21,
    kCpuFeatureAes = 22,
    kCpuFeatureRdseed = 23,
    kCpuFeatureRdrand = 24,
    kCpuFeatureMsr = 25,
    kCpuFeatureCx8 = 26,
    kCpuFeatureSep = 27,
    kCpuFeatureCmov = 28,
    kCpuFeatureMovbe = 29,
    kCpuFeatureClfsh = 30,
    kCpuFeatureFxsr = 31,
    kCpuFeatureFsgsbase = 32,
    kCpuFeatureHle = 33,
    kCpuFeatureRtm = 34,
    kCpuFeatureErms = 35,
    kCpuFeatureInvpcid = 36,
    kCpuFeatureAvx512f = 37,
    kCpuFeatureAvx512pf = 38,
    kCpuFeatureAvx512er = 39,
    kCpuFeatureAvx512cd = 40,
    kCpuFeatureAdx = 41,
    kCpuFeatureSha = 42,
    kCpuFeatureLahf = 43,
    kCpuFeatureXop = 44,
    kCpuFeatureTbm = 45,
    kCpuFeature3dnow = 46,
    kCpuFeature3dnowExt = 47,
    kCpuFeatureSyscall = 48,
    kCpuFeaturePclmulqdq = 49,
    kCpuFeatureCmpxchg16b = 50,
    kCpuFeaturePrefetchwt1 = 51,
    kCpuFeatureCount = 52,
};

// The processor record filled by DetectCpuInfo (plain data, little-endian integers).
struct CpuInfo
{
    U64 m_features;            // bit n set when feature id n is present
    U32 m_numLogicalCores;     // logical processors the system reports
    U32 m_reserved0;           // zeroed by detection
    F32 m_lastUsageSampleTime; // seconds; detection leaves it unchanged
    U8 m_isIntel;              // vendor text is "GenuineIntel"
    U8 m_isAMD;                // vendor text is "AuthenticAMD"
    U8 m_hasFrequencies;       // leaf 0x16 gave a non-zero base frequency
    U8 m_reserved1;            // zeroed by detection
    U64 m_baseFrequency;       // Hz
    U64 m_maxFrequency;        // Hz
    U64 m_refFrequency;        // Hz, bus or reference clock
    char m_vendor[16];         // 12 vendor characters and a terminating zero
    char m_brand[48];          // brand text, zero-filled when not available
    char m_model[48];          // short model name cut from the brand, always terminated
    U32 m_cpuUsagePercent;     // last computed CPU usage of the process, percent
};
static_assert(sizeof(CpuInfo) == 168, "CpuInfo layout changed");

// The four registers one cpuid query returns.
struct CpuidRegisters
{
    U32 m_eax;
    U32 m_ebx;
    U32 m_ecx;
    U32 m_edx;
};

// Where detection reads cpuid from: a function and a context pointer handed back to it.
struct CpuidSource
{
    void (*m_pQuery)(void* pContext, U32 leaf, U32 subLeaf, CpuidRegisters& out);
    void* m_pContext;
};

// The source that executes the processor's own cpuid instruction (on processors without
// one it reports highest leaf 0 and an empty vendor).
CpuidSource GetNativeCpuidSource();

// Fills the record from the processor's own cpuid; returns the record.
CpuInfo& DetectCpuInfo(CpuInfo& info);
// Fills the record from the given cpuid source; returns the record.
CpuInfo& DetectCpuInfo(CpuInfo& info, const CpuidSource& source);

// The name of a feature id, "unknown" for ids above 51.
const char* GetCpuFeatureName(U64 id);
// Whether a feature means anything on this record's vendor (AMD-only and Intel-only ids).
bool IsCpuFeatureApplicable(const CpuInfo& info, U64 id);
// True when the feature's bit is set in the record.
inline bool HasCpuFeature(const CpuInfo& info, U64 id)
{
    return id < kCpuFeatureCount && (info.m_features & (U64(1) << id)) != 0;
}

// Prints the fixed-format report of the record on message channel 1.
void PrintCpuInfo(const CpuInfo& info);

// The number of logical processors the system reports.
U32 GetNumLogicalProcessors();
// Installed physical memory in bytes.
U64 GetTotalPhysicalMemory();
// Physical memory in use (total minus available) in bytes.
U64 GetUsedPhysicalMemory();

// Takes the process-wide CPU-usage baseline once; later calls do nothing. Sampling is
// meant for one thread: the baseline is not locked.
void InitCpuUsageSampling();
// Samples at most once a second (by nowSeconds against the record's last sample time),
// stores the percentage in the record and returns it; between samples returns the stored value.
U32 GetCpuUsagePercent(CpuInfo& info, F32 nowSeconds);

// A caller-held sampling state: the time of its last sample.
struct CpuUsageSampleState
{
    F32 m_lastSampleTime;
};
// The same sampling for a caller-held state; writes *pOutPercent only when a sample was
// taken and produced a value; returns whether it did.
bool SampleCpuUsage(CpuUsageSampleState& state, F32 nowSeconds, U32* pOutPercent);

// The usage percentage of busy process time over elapsed system time across all
// processors (100-nanosecond counts); previousPercent when no system time has elapsed.
U32 ComputeCpuUsagePercent(U64 busyDelta, I64 systemDelta, U32 numProcessors, U32 previousPercent);

// The process-wide record, detected during static start-up (rank kInitRankCpuInfo).
extern CpuInfo g_cpuInfo;
