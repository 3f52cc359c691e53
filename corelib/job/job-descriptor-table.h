// The job descriptor table: the descriptors registered before Initialize, by key, in a
// fixed open-addressed table carved from the job system's memory block.
#pragma once

#include "corelib/util/types.h"

namespace oxjob
{
// Bytes of the table's memory.
constexpr U64 kJobDescriptorTableSlots = 512;
constexpr U64 kJobDescriptorTableSize = kJobDescriptorTableSlots * 16;

// Builds the table over pMemory from every registered descriptor.
void BuildJobDescriptorTable(void* pMemory);
// Forgets the table (Shutdown); lookups then find nothing.
void ClearJobDescriptorTable();
} // namespace oxjob
