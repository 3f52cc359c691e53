// Job descriptors: the static registration list and the table Initialize builds from it.
#include "corelib/job/job-descriptor.h"

#include "corelib/job/job-assert.h"
#include "corelib/job/job-descriptor-table.h"

namespace oxjob
{
namespace
{
struct TableSlot
{
    U64 m_key; // key + 1; 0 marks an empty slot
    const JobDescriptor* m_pDescriptor;
};
static_assert(sizeof(TableSlot) * kJobDescriptorTableSlots == kJobDescriptorTableSize, "table size");

// Written by static constructors (one thread) and read after Initialize.
JobDescriptor* s_pRegisteredDescriptors = nullptr;
TableSlot* s_pTable = nullptr;

U64 SlotOf(U32 key)
{
    // Entry functions are at least 16-byte aligned in practice; mix the bits first.
    return (static_cast<U64>(key) * 0x9E3779B97F4A7C15ull >> 32) & (kJobDescriptorTableSlots - 1);
}
} // namespace

JobDescriptor::JobDescriptor(const char* name, JobEntryFunc pStartFunc)
    : m_name(name), m_key(GetJobDescriptorKey(pStartFunc)), m_pNext(s_pRegisteredDescriptors)
{
    s_pRegisteredDescriptors = this;
}

U32 GetJobDescriptorKey(JobEntryFunc pStartFunc)
{
    return static_cast<U32>(reinterpret_cast<UPtr>(pStartFunc));
}

JobDescriptor* GetRegisteredJobDescriptors()
{
    return s_pRegisteredDescriptors;
}

void BuildJobDescriptorTable(void* pMemory)
{
    auto* pTable = static_cast<TableSlot*>(pMemory);
    for (U64 i = 0; i < kJobDescriptorTableSlots; ++i)
        pTable[i] = TableSlot{0, nullptr};
    U64 count = 0;
    for (const JobDescriptor* pDescriptor = s_pRegisteredDescriptors; pDescriptor;
         pDescriptor = pDescriptor->m_pNext)
    {
        OX_JOB_ASSERT_MSG(++count <= kJobDescriptorTableSlots, "Hash table overflow");
        U64 slot = SlotOf(pDescriptor->m_key);
        while (pTable[slot].m_key != 0 && pTable[slot].m_key != static_cast<U64>(pDescriptor->m_key) + 1)
            slot = (slot + 1) & (kJobDescriptorTableSlots - 1);
        pTable[slot] = TableSlot{static_cast<U64>(pDescriptor->m_key) + 1, pDescriptor};
    }
    s_pTable = pTable;
}

void ClearJobDescriptorTable()
{
    s_pTable = nullptr;
}

const JobDescriptor* LookUpJobDescriptor(U32 key)
{
    const TableSlot* pTable = s_pTable;
    if (!pTable)
        return nullptr;
    for (U64 slot = SlotOf(key), probes = 0; probes < kJobDescriptorTableSlots;
         slot = (slot + 1) & (kJobDescriptorTableSlots - 1), ++probes)
    {
        if (pTable[slot].m_key == 0)
            return nullptr;
        if (pTable[slot].m_key == static_cast<U64>(key) + 1)
            return pTable[slot].m_pDescriptor;
    }
    return nullptr;
}

const char* GetJobName(JobEntryFunc pStartFunc)
{
    const JobDescriptor* pDescriptor = LookUpJobDescriptor(GetJobDescriptorKey(pStartFunc));
    return pDescriptor ? pDescriptor->m_name : "<<<BARRIER>>>";
}

const char* GetJobName(const JobDecl* pJobDecl)
{
    return GetJobName(pJobDecl->m_pStartFunc);
}
} // namespace oxjob
