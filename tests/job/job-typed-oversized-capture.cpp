// Must not compile: a loop body whose captures exceed kMaxJobCaptureBytes. The
// job-typed-oversized-capture test compiles it and expects the layer's message.
#include "corelib/job/job-typed.h"

void LoopWithTooLargeACapture()
{
    struct
    {
        U64 m_values[oxjob::kMaxJobCaptureBytes / sizeof(U64) + 1];
    } tooLarge{};
    oxjob::ParallelFor(0, 100, 10, [tooLarge](U64 begin, U64) { (void)tooLarge.m_values[begin]; });
}
