// A host of the typed job layer, a game's frame as a newcomer writes it: the job system
// started in one line, then ten frames of a loop over 1,000,000 particles, three systems
// at once (two with a loop of their own) and a two-stage chain; stopped at the end of main.
#include "corelib/job/job-host.h"
#include "corelib/job/job-local-storage.h"
#include "corelib/job/job-typed.h"
#include "corelib/util/console-reports.h"

#include <atomic>
#include <cstdio>
#include <vector>

namespace
{
// What a frame does to a range of particles.
void Move(float* p, U64 begin, U64 end)
{
    for (U64 i = begin; i < end; ++i)
        p[i] += 1.0f;
}

void Scale(float* p, U64 begin, U64 end)
{
    for (U64 i = begin; i < end; ++i)
        p[i] *= 2.0f;
}
} // namespace

int main()
{
    InstallConsoleReports();          // a misuse prints what went wrong and names this file's line
    oxjob::ScopedJobSystem jobSystem; // a worker per processor, idle ones asleep; stops at the end of main

    std::vector<float> particles(1000000, 0.0f);
    float* p = particles.data();
    std::atomic<U64> collisions{0}, thoughts{0};
    U64 sounds = 0, kept = 0;
    float ends = 0.0f;
    for (int frame = 0; frame < 10; ++frame)
    {
        oxjob::ParallelFor(0, particles.size(), 16384, [p](U64 begin, U64 end) { Move(p, begin, end); });
        oxjob::RunAndWait( // three systems at once, each a job
            [&] { oxjob::ParallelFor(0, 1000, 100, [&](U64 begin, U64 end) { collisions += end - begin; }); },
            [&]
            {
                oxjob::SetJobLocalStorage(0x5EED5EEDull, 42); // this job's own value, kept across its wait
                oxjob::ParallelFor(0, 500, 100, [&](U64 begin, U64 end) { thoughts += end - begin; });
                oxjob::GetJobLocalStorage(0x5EED5EEDull, &kept);
            },
            [&] { ++sounds; });
        // A two-stage chain: the loop starts at once, the second stage once it is done.
        auto moved = oxjob::StartParallelFor(0, particles.size(), 16384,
                                             [p](U64 begin, U64 end) { Scale(p, begin, end); });
        oxjob::Start(moved, [&] { ends = p[0] + p[particles.size() - 1]; }).Wait();
    }

    printf("10 frames: ends %.0f, %llu collisions, %llu thoughts, %llu sounds, kept %llu\n", ends,
           static_cast<unsigned long long>(collisions.load()),
           static_cast<unsigned long long>(thoughts.load()), static_cast<unsigned long long>(sounds),
           static_cast<unsigned long long>(kept));
    return ends == 4092.0f && collisions == 10000 && thoughts == 5000 && sounds == 10 && kept == 42 ? 0 : 1;
}
