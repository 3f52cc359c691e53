// The owner key of scoped temporary allocators: the identity under which nested scopes
// share one block. On a job system worker the owner is the running job: its key is the
// value of job-local entry 0 (the job's identifier, which follows the job from worker to
// worker). On any other thread it is the operating-system thread id with bit 62 set, so
// that the two kinds of key never collide.
#pragma once

#include "corelib/util/types.h"

// Bit 62, set in the keys of plain threads.
constexpr U64 kScopedTempThreadKeyBit = 0x4000000000000000ull;

// The job-local entry whose value keys a job's scopes.
constexpr I32 kScopedTempJobKeyIndex = 0;

// The calling owner's key: the running job's on a worker thread, else the thread id with
// bit 62 set. A worker between jobs (entry 0 free) counts as a plain thread.
I64 GetScopedTempOwnerKey();
