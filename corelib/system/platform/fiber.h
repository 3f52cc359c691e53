// oxsys::Fiber: a small value handle on a fiber, a stack and register set that a thread
// runs until it switches to another fiber. A thread becomes a fiber runner with
// StartFiberExecution and a plain thread again when one of its fibers calls
// StopFiberExecution. A fiber that is not running may be switched to from any thread,
// so a fiber started on one thread may continue on another; thread-local state must
// then be re-read (through a function that is not inlined) after every switch.
//
// Fiber-local storage gives each fiber (and each plain thread) its own value per slot;
// a slot's release callback runs for every non-null value when its fiber is released,
// when its thread ends, or when the slot is freed.
#pragma once

#include "corelib/util/types.h"

namespace oxsys
{
// Entry function of a fiber. It must never return: a fiber ends by being released while
// another fiber runs.
using FiberFunction = void (*)(void* pArgument);

class alignas(16) Fiber
{
public:
    // An empty handle.
    Fiber();

    bool IsValid() const { return nativeFiber != 0; }
    bool operator==(const Fiber& other) const { return nativeFiber == other.nativeFiber; }
    bool operator!=(const Fiber& other) const { return nativeFiber != other.nativeFiber; }

    U64 nativeFiber; // the fiber's address; 0 when empty
};
static_assert(sizeof(Fiber) == 16, "a fiber handle fills 16 bytes");

// Per-fiber state that the job system keeps beside each fiber; zero-filled on construction.
class alignas(128) FiberContext
{
public:
    FiberContext();

    U8 m_data[640];
};
static_assert(sizeof(FiberContext) == 640, "a fiber context is 640 bytes");

// Creation flags of CreateFiber.
enum FiberFlags : U32
{
    kFiberFlagNone = 0,
    // The fiber carries its own SSE and x87 control words (rounding, flush-to-zero,
    // exception masks) across switches, also when it continues on another thread; it
    // starts with the creating thread's. Without it the control words belong to whichever
    // thread runs the fiber and a switch leaves them as they are, which makes the switch
    // several times cheaper. A thread's own fiber always gets its control words back.
    kFiberFlagFloatSwitch = 1u << 0,
};

// True when fibers created without kFiberFlagFloatSwitch run with the control words of
// whichever thread runs them; false where every switch carries each fiber's own (the
// portable ucontext switch of architectures without an assembly one), so that all
// fibers behave as if created with the flag.
bool PlainFibersShareThreadControlWords();

// Creates a fiber that will run function(pArgument) when first switched to. The stack
// is reserved at stackSize bytes (0: 1 MiB) and committed as it is used; a caller-
// provided stack (pStackMem) is not supported. The name helps debugging tools only.
void CreateFiber(Fiber& outFiber, const char* name, FiberFunction function, void* pStackMem, U64 stackSize,
                 void* pArgument, U32 flags = kFiberFlagNone);
// Releases a fiber that is not running, after running its fiber-local storage callbacks
// on the calling thread, and empties the handle.
void ReleaseFiber(Fiber& fiber);
// The fiber the calling thread runs; empty on a thread that is not running fibers.
Fiber CurrentFiber();
// Saves the running fiber and continues the given one; returns when some thread
// switches back to the calling fiber. The target must not be running.
void SwitchToFiber(Fiber& fiber);
// Converts the calling thread to a fiber and switches to the given fiber; returns when
// a fiber running on this thread calls StopFiberExecution, with the thread converted back.
void StartFiberExecution(const Fiber& fiber);
// Switches back to the calling thread's own fiber, ending its StartFiberExecution.
void StopFiberExecution();

// Fiber-local storage.
using FiberLocalStorageCallback = void (*)(void* pValue);
constexpr U32 kFlsOutOfIndexes = 0xFFFFFFFFu;

// Allocates a slot (every fiber's value starts null); kFlsOutOfIndexes when none is free.
// The callback, when not null, receives each non-null value when it is released.
U32 AllocFiberLocalStorage(FiberLocalStorageCallback callback);
// Frees the slot, running its callback for the non-null value of every fiber and thread.
void FreeFiberLocalStorage(U32 index);
// Sets the running fiber's value; false for a slot that is not allocated.
bool SetFiberLocalStorage(U32 index, void* pValue);
// The running fiber's value; null for a slot that is not allocated.
void* GetFiberLocalStorage(U32 index);
} // namespace oxsys
