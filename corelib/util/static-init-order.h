// Start-up order of the library's global objects. Globals live beside the code that
// owns them, in many translation units; the C++ rules leave their construction order
// across units open, so each one names its rank here and the toolchain orders them
// (GCC and Clang on ELF and PE alike). Ranks below 101 are reserved by the toolchain.
#pragma once

#define OX_INIT_PRIORITY(rank) __attribute__((init_priority(rank)))

enum StaticInitRank
{
    kInitRankNullMsgOutput = 1001,  // the "NULL" message output
    kInitRankCpuInfo = 1002,        // the process-wide CPU record
    kInitRankFiberStartLock = 1003, // the lock guarding fiber start-up
    kInitRankMemoryAreas = 1004,    // memory areas and the 1 KiB record table
    kInitRankMemoryMutex = 1005,    // the memory system's global mutex
    kInitRankMemoryContextTable = 1006,
    kInitRankStringIdTable = 1007,
    kInitRankJobSystemFlag = 1008,
    kInitRankScopedTempState = 1009,
    kInitRankJobTraceTables = 1010,
    kInitRankMemoryAreaRangeLock = 1011,
    kInitRankRandomStates = 1012,
};
