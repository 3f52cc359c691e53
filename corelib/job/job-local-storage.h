// Job local storage: values that belong to the running job and follow it when it waits
// and resumes on another worker. Each job fiber owns a block of 44 fixed entries
// (addressed by index, with an identifier as a check) and 16 entries found by
// identifier; the block is cleared before every new job on the fiber. Entries 0 and 1
// are the system's (the job id and the worker index). Every call is made from a job.
#pragma once

#include "corelib/util/types.h"

#include <type_traits>

namespace oxjob
{
// Entries of a job's block.
constexpr U64 kJobLocalStorageFixedEntries = 44;
constexpr U64 kJobLocalStorageIdEntries = 16;

// Fixed entries the system uses.
constexpr I32 kJlsIndexJobId = 0;
constexpr U64 kJlsIdJobId = 0xF18A2D801EFF31F1ull;
constexpr I32 kJlsIndexWorkerIndex = 1;
constexpr U64 kJlsIdWorkerIndex = 0xA0915D59F7C1291Dull;
// The identifier of the job's lock count.
constexpr U64 kJlsIdLockCount = 0x23AAB14D23AAB14Dull;

// By index (0 to 43).
void SetJobLocalStorage(I32 index, U64 identifier, U64 value);
void GetJobLocalStorage(I32 index, U64* pValue);
bool TryGetJobLocalStorage(I32 index, U64* pValue);
void GetJobLocalStoragePtr(I32 index, U64** ppValue);
void ClearJobLocalStorage(I32 index);
bool DoesJobLocalStorageIdExist(I32 index);

// By identifier (the 16 identifier entries first, then the fixed ones).
void SetJobLocalStorage(U64 identifier, U64 value);
bool GetJobLocalStorage(U64 identifier, U64* pValue);
void ClearJobLocalStorage(U64 identifier);
bool DoesJobLocalStorageIdExist(U64 identifier);

// Any other 64-bit integer is an identifier too: without these, a literal such as
// 0x5EED5EEDull is as near to the index overloads as to the identifier ones wherever
// U64 is another 64-bit type (unsigned long on Linux), and the call is ambiguous.
template <typename Identifier>
using IfOther64BitIdentifier = std::enable_if_t<
    std::is_integral_v<Identifier> && sizeof(Identifier) == 8 && !std::is_same_v<Identifier, U64>, int>;
template <typename Identifier, IfOther64BitIdentifier<Identifier> = 0>
inline bool GetJobLocalStorage(Identifier identifier, U64* pValue)
{
    return GetJobLocalStorage(static_cast<U64>(identifier), pValue);
}
template <typename Identifier, IfOther64BitIdentifier<Identifier> = 0>
inline void ClearJobLocalStorage(Identifier identifier)
{
    ClearJobLocalStorage(static_cast<U64>(identifier));
}
template <typename Identifier, IfOther64BitIdentifier<Identifier> = 0>
inline bool DoesJobLocalStorageIdExist(Identifier identifier)
{
    return DoesJobLocalStorageIdExist(static_cast<U64>(identifier));
}

// The running job's id (fixed entry 0).
U64 GetActiveJobId();
// The running job's lock count; all three do nothing and return 0 off a worker.
U64 IncrementLockCount();
U64 DecrementLockCount();
U64 GetLockCount();
// Reads another worker's running job's entry. Fiber stacks are not placed at fixed
// addresses here, so there is nothing to read: always false.
bool GetJobLocalStorageForWorkerThread(U64 workerThreadIndex, U64 identifier, U64* pValue);
} // namespace oxjob
