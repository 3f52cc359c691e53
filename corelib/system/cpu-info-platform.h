// The operating-system services behind CPU information, implemented once per platform
// (cpu-info-posix.cpp, cpu-info-win.cpp). Internal to the library.
#pragma once

#include "corelib/system/cpu-info.h"

// Executes cpuid for a leaf and sub-leaf; a processor without the instruction reports zeros.
void CpuExecuteCpuid(U32 leaf, U32 subLeaf, CpuidRegisters& out);

// Times for CPU-usage sampling, all in 100-nanosecond units: the wall-clock system time
// and the process's kernel plus user time.
struct CpuProcessTimes
{
    U64 m_systemTime;
    U64 m_busyTime;
};
CpuProcessTimes CpuReadProcessTimes();
