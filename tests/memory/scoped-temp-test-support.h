// A fixture base for tests that need the scoped temporary allocator system: the calling
// thread gets an allocator stack, a heap allocator serves kAllocSystemDirect (the system's
// owner table takes its bookkeeping word there), and the system runs over a buffer of the
// test's choice until the test ends.
#pragma once

#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/allocator-heap.h"
#include "corelib/memory/memory-map.h"
#include "corelib/memory/scoped-temp-allocator.h"

#include <gtest/gtest.h>

#include <vector>

class ScopedTempSystemTest : public testing::Test
{
protected:
    // Starts the system over size bytes in numBlocks blocks (a test may call it again after StopSystem).
    void StartSystem(U64 size, U64 numBlocks)
    {
        m_buffer.assign(size + 16, 0);
        // 16-byte aligned blocks, as a host's buffer would be.
        U8* pStart = m_buffer.data() + ((16 - reinterpret_cast<UPtr>(m_buffer.data()) % 16) % 16);
        InitializeScopedTempAllocSystem(pStart, size, numBlocks);
        m_running = true;
    }

    void StopSystem()
    {
        ShutdownScopedTempAllocSystem();
        m_running = false;
    }

    void SetUp() override
    {
        Memory::InitializeThreadAllocStack();
        m_bookkeeping.Init(m_bookkeepingMemory, sizeof(m_bookkeepingMemory));
        Memory::RegisterAllocator(Memory::kAllocSystemDirect, &m_bookkeeping);
    }

    void TearDown() override
    {
        if (m_running)
            StopSystem();
        Memory::RegisterAllocator(Memory::kAllocSystemDirect, nullptr);
        Memory::FreeThreadAllocStack();
    }

    alignas(16) U8 m_bookkeepingMemory[4096];
    HeapAllocator m_bookkeeping{"ScopedTempBookkeeping"};
    std::vector<U8> m_buffer;
    bool m_running = false;
};
