// How the workers keep the job arrays that wait to run, chosen by the host before
// Initialize.
//
// kSharedLists (the default): every job array joins one list per priority that every
// worker takes from, in the order the arrays were committed.
//
// kWorkerLocalLists: a job array committed by a worker joins that worker's own list of
// its priority; arrays committed elsewhere join the shared list. At each priority, lowest
// number first, a worker takes woken-up jobs, then its own arrays newest first (a job that
// forks and waits continues with its own children, depth first, and the fibers in use
// stay bounded by the depth of the work), then the shared list, then the oldest arrays of
// the other workers. Each array still hands out its jobs in order; affinity, priorities,
// kLockToStartingWorker and the emergency workers' delay hold as under kSharedLists.
#pragma once

#include "corelib/util/types.h"

namespace oxjob
{
enum class SchedulingPolicy : U8
{
    kSharedLists,
    kWorkerLocalLists,
};

// Chooses the policy of the next Initialize; the choice stays for later starts. Calling it
// while the job system runs is a misuse.
void SetSchedulingPolicy(SchedulingPolicy policy);
// The policy the next (or the running) job system uses.
SchedulingPolicy GetSchedulingPolicy();
// The policy's name: "kSharedLists" or "kWorkerLocalLists".
const char* GetSchedulingPolicyName(SchedulingPolicy policy);
} // namespace oxjob
