// A small, fast, reproducible pseudo-random generator: Marsaglia's multiply-with-carry
// generator of order four ("the mother of all generators"). State lives in a
// caller-owned RandomState or in the process-wide global state. Every seeding and every
// generated value is reported to a replaceable observer hook, so a host can log or
// verify the sequence.
//
// Nothing here locks. The global state is meant for one thread at a time; concurrent use
// corrupts nothing beyond its five words but makes the sequence unpredictable. Threads
// that need their own reproducible sequence keep their own RandomState.
#pragma once

#include "corelib/util/types.h"

// Observer of every seed and every generated value; never null.
using RandomHook = void (*)(U32 value);

// The installed hook; change it through SetRandomHook only.
extern RandomHook g_randomHook;

// The generator's five words: the last four values (newest first) and the carry.
class RandomState
{
public:
    static constexpr U32 kNumWords = 5;

    // Default construction: the state of Seed(0).
    RandomState() { Construct(); }

    // Seeds from a 32-bit value: reports the seed to the hook, then fills the five words.
    void Seed(U32 seed);
    // The state of Seed(0), written directly after reporting 0 to the hook.
    void Construct();
    // One generator step; returns the new newest value.
    U32 NextU32()
    {
        // The hook is always callable: no branch on the hot path.
        U64 sum = 2111111111ull * m_x3 + 1492ull * m_x2 + 1776ull * m_x1 + 5115ull * m_x0 + m_carry;
        m_x3 = m_x2;
        m_x2 = m_x1;
        m_x1 = m_x0;
        m_x0 = static_cast<U32>(sum);
        m_carry = static_cast<U32>(sum >> 32);
        g_randomHook(m_x0);
        return m_x0;
    }
    // NextU32 as a float in [0, 1).
    F32 NextFloat() { return ToFloat(NextU32()); }
    // Converts a drawn value to [0, 1). The divisor is the float just above 2^32, so
    // 0xFFFFFFFF (which rounds to 2^32 as a float) still gives a result below 1.
    static F32 ToFloat(U32 value) { return static_cast<F32>(value) / 4294967808.0f; }
    // Copy all five words out / in, in order x0, x1, x2, x3, carry.
    void GetState(U32 (&words)[kNumWords]) const;
    void SetState(const U32 (&words)[kNumWords]);

    U32 m_x0; // newest value
    U32 m_x1;
    U32 m_x2;
    U32 m_x3; // oldest value
    U32 m_carry;
};

// The same operations on the first global state (set up at start-up as Seed(0)).
void GlobalSeed(U32 seed);
U32 GlobalNextU32();
F32 GlobalNextFloat();
// Two normally distributed values (mean 0, deviation 1) by Marsaglia's polar method;
// each attempt consumes two global steps.
void GlobalNextGaussianPair(F32 (&pair)[2]);
void GlobalGetState(U32 (&words)[RandomState::kNumWords]);
void GlobalSetState(const U32 (&words)[RandomState::kNumWords]);

// Replaces the observer hook (not null); install it before threads draw values.
void SetRandomHook(RandomHook hook);
RandomHook GetRandomHook();
