// The owner key of scoped temporary allocators: the identity under which nested scopes
// share one block. On a job system worker the owner is the running job (its key lives in
// job local storage entry 0 and follows the job from worker to worker); on any other
// thread it is the operating-system thread id with bit 62 set, so that the two kinds of
// key never collide.
#pragma once

#include "corelib/util/types.h"

// Bit 62, set in the keys of plain threads.
constexpr U64 kScopedTempThreadKeyBit = 0x4000000000000000ull;

// Returns the running job's key; installed by the job system.
using ScopedTempJobKeyFn = I64 (*)();

// Installs (or with null removes) the job system's key function; install it before the
// workers run and keep it for the life of the process.
void SetScopedTempJobKeyFn(ScopedTempJobKeyFn jobKeyFn);

// The calling owner's key: the job's on a worker thread with a key function installed,
// else the thread id with bit 62 set.
I64 GetScopedTempOwnerKey();
