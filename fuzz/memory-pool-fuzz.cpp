// libFuzzer target: the input is a sequence of MemoryPoolMalloc operations (malloc,
// free, resize, realloc, free-check with sizes and alignments from the input), each
// checked by MemoryPoolDriver and followed by a full Validate.
#include "tests/memory/memory-pool-driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
void Fail(const char* what)
{
    std::fprintf(stderr, "memory pool check failed: %s\n", what);
    std::abort();
}

U32 Read32(const U8* p)
{
    U32 value;
    std::memcpy(&value, p, sizeof(value));
    return value;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const U8* data, size_t size)
{
    if (size < 1)
        return 0;
    // Pool sizes from 1 KiB to 128 KiB, so that both exhaustion and large pools are reached.
    const U32 poolSize = 1024u << (data[0] % 8);
    MemoryPoolDriver driver(poolSize, Fail);
    constexpr size_t kOpBytes = 9;
    for (size_t offset = 1; offset + kOpBytes <= size; offset += kOpBytes)
        driver.Step(data[offset], Read32(data + offset + 1), Read32(data + offset + 5));
    driver.FreeEverything();
    return 0;
}
