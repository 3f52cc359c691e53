// Helpers for the memory routing tests: a small concrete allocator that knows exactly
// which blocks are live, and a stand-in job system behind the running-job seam that lets
// a test thread act as a worker running a job.
#pragma once

#include "corelib/memory/allocator.h"
#include "corelib/memory/memory-job-local.h"
#include "corelib/system/running-job.h"

#include <algorithm>
#include <cstring>
#include <vector>

// A bump allocator over its own buffer that records every live block, so that
// IsValidPtr, GetAllocSize and Free know precisely what it handed out.
class TestAllocator : public Memory::Allocator
{
public:
    // The block list is reserved up front: with the global operator new replaced, growing
    // it inside Allocate would come back into this allocator.
    explicit TestAllocator(const char* name, U64 size = 64 * 1024) : Memory::Allocator(name), m_buffer(size)
    {
        m_live.reserve(1024);
    }

    void Reset(bool keep) override
    {
        m_lastResetKeep = keep;
        ++m_resetCount;
    }
    void* Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function) override
    {
        Lock();
        m_lastSize = size;
        m_lastAlignment = alignment;
        m_lastFile = file;
        m_lastLine = line;
        m_lastFunction = function;
        const UPtr base = reinterpret_cast<UPtr>(m_buffer.data());
        const U64 start = ((base + m_used + alignment - 1) & ~(alignment - 1)) - base;
        U8* p = nullptr;
        if (!m_refuse && start + size <= m_buffer.size())
        {
            p = m_buffer.data() + start;
            m_used = start + size;
            m_live.push_back({p, size});
        }
        PostAllocate(p, size, alignment, static_cast<U32>(size), file, line, function);
        Unlock();
        return p;
    }
    void Free(void* p, const char* file, U32 line, const char* function) override
    {
        auto it = Find(p);
        const U64 size = it != m_live.end() ? it->m_size : 0;
        if (it != m_live.end())
            m_live.erase(it);
        ++m_freeCount;
        m_lastFreeLine = line;
        m_lastFreeFunction = function;
        PostFree(p, file, line, function, size);
    }
    bool IsInitialized() override { return true; }
    bool IsValidPtr(const void* p) override { return Find(p) != m_live.end(); }
    bool IsPtrInRange(const void* p) override
    {
        const U8* b = static_cast<const U8*>(p);
        return b >= m_buffer.data() && b < m_buffer.data() + m_buffer.size();
    }
    bool CanAllocate(U64 size, U64) override { return !m_refuse && m_used + size <= m_buffer.size(); }
    U64 GetTotalSize() override { return m_buffer.size(); }
    U64 GetFreeSize() override { return m_buffer.size() - m_used; }
    U64 GetAllocSize(const void* p) override
    {
        auto it = Find(p);
        return it != m_live.end() && m_knowsSizes ? it->m_size : 0;
    }

    U8* Base() { return m_buffer.data(); }
    size_t LiveCount() const { return m_live.size(); }

    struct Block
    {
        void* m_p;
        U64 m_size;
    };
    std::vector<U8> m_buffer;
    std::vector<Block> m_live;
    U64 m_used = 0;
    bool m_refuse = false;
    bool m_knowsSizes = true;
    int m_freeCount = 0;
    int m_resetCount = 0;
    bool m_lastResetKeep = false;
    U64 m_lastSize = 0;
    U64 m_lastAlignment = 0;
    const char* m_lastFile = nullptr;
    U32 m_lastLine = 0;
    const char* m_lastFunction = nullptr;
    U32 m_lastFreeLine = 0;
    const char* m_lastFreeFunction = nullptr;

private:
    std::vector<Block>::iterator Find(const void* p)
    {
        return std::find_if(m_live.begin(), m_live.end(), [p](const Block& b) { return b.m_p == p; });
    }
};

// Stand-in job system: while a FakeJob is alive on a thread, that thread is a worker
// running a job with its own fixed job-local entries.
class FakeJob
{
public:
    explicit FakeJob(bool renderJob = false)
    {
        t_pCurrent = this;
        m_renderJob = renderJob;
        oxsys::SetRunningJobQueries(&kQueries);
    }
    ~FakeJob()
    {
        t_pCurrent = nullptr;
        oxsys::SetRunningJobQueries(nullptr);
    }
    FakeJob(const FakeJob&) = delete;
    FakeJob& operator=(const FakeJob&) = delete;

    U64 m_ids[44] = {};
    U64 m_values[44] = {};
    bool m_renderJob = false;

private:
    static bool IsWorker() { return t_pCurrent != nullptr; }
    static U32 Flags() { return t_pCurrent && t_pCurrent->m_renderJob ? Memory::kJobFlagRender : 0u; }
    static bool TryGet(I32 index, U64* pValue)
    {
        if (!t_pCurrent || t_pCurrent->m_ids[index] == 0)
            return false;
        *pValue = t_pCurrent->m_values[index];
        return true;
    }
    static void Set(I32 index, U64 id, U64 value)
    {
        t_pCurrent->m_ids[index] = id;
        t_pCurrent->m_values[index] = value;
    }
    static void Clear(I32 index)
    {
        t_pCurrent->m_ids[index] = 0;
        t_pCurrent->m_values[index] = 0;
    }
    static bool Describe(char*, U64, U64*) { return false; }
    static inline thread_local FakeJob* t_pCurrent = nullptr;
    static constexpr oxsys::RunningJobQueries kQueries = {IsWorker, Flags, TryGet, Set, Clear, Describe};
};
