// Start-up parameters for the machine the program runs on: one call fills InitParams
// with a regular worker per logical processor and pools sized for the typed layer
// (job-typed.h), and the size of the memory block that Initialize then needs.
//
//   oxjob::InitParams params;
//   oxjob::FillDefaultInitParams(&params);
//   params.m_pMemoryBuffer = ::operator new(params.m_memoryBufferSize, std::align_val_t(128));
//   oxjob::Initialize(&params);
#pragma once

#include "corelib/job/job-system.h"
#include "corelib/util/types.h"

namespace oxjob
{
// Job declaration pool bytes FillDefaultInitParams provides: about 7,000 jobs queued at
// once, or hundreds of typed loops and calls in flight.
constexpr U64 kDefaultJobDeclPoolBytes = 1u << 20;

// Fills the pool and worker fields of *pParams for this machine: a regular worker per
// logical processor (at most kMaxWorkerThreads), no emergency worker, 8 small fibers per
// worker + 16 and one large fiber per worker + 4, 1024 counters and 512 job arrays; then
// sets m_memoryBufferSize for those and jobDeclPoolBytes of job declaration pool. Other
// fields (stack sizes, trace, priorities) keep their values; the caller provides the block.
void FillDefaultInitParams(InitParams* pParams, U64 jobDeclPoolBytes = kDefaultJobDeclPoolBytes);

// Sizes the fiber, counter and job array pools of *pParams for its regular and emergency
// workers as FillDefaultInitParams does (which calls it), and sets m_memoryBufferSize for
// them and jobDeclPoolBytes of job declaration pool; call it after changing the workers.
void SizePoolsForWorkers(InitParams* pParams, U64 jobDeclPoolBytes = kDefaultJobDeclPoolBytes);

// The memory block size Initialize needs for params with jobDeclPoolBytes of job
// declaration pool, a multiple of 128; call it again after changing a field.
U64 GetMemoryBufferSizeWithJobDeclPool(const InitParams& params, U64 jobDeclPoolBytes);
} // namespace oxjob
