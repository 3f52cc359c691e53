// The report of a fiber that ran off the end of its stack, shared by the platforms' fault
// handlers (fiber-guard-posix.cpp, fiber-guard-win.cpp).
#pragma once

namespace oxsys
{
// Installs the platform's handler of fiber stack overflows (once; later calls do
// nothing); CreateFiber calls it.
void InstallFiberGuardHandler();

// Reports a stack overflow of the fiber the calling thread runs through the assertion
// report: "Job stack overflow", with the running job's name and stack size as the job
// system tells them through the running-job seam, and the faulting address; then ends at
// the assertion's breakpoint. Returns only when a debugger resumes after it.
void ReportFiberStackOverflow(const void* pFaultAddress);
} // namespace oxsys
