#include "corelib/math/random.h"

#include "corelib/util/msg-assert.h"
#include "corelib/util/static-init-order.h"

#include <cmath>

namespace
{
void RandomHookNone(U32) {}

// The two process-wide states; every Global operation uses the first, the second is
// constructed the same way and otherwise left alone.
RandomState s_randomStates[2] OX_INIT_PRIORITY(kInitRankRandomStates);
} // namespace

// Constant-initialised, so it is valid before any static constructor runs.
constinit RandomHook g_randomHook = RandomHookNone;

void RandomState::Seed(U32 seed)
{
    g_randomHook(seed);
    U32 s = seed;
    U32* words[kNumWords] = {&m_x0, &m_x1, &m_x2, &m_x3, &m_carry};
    for (U32* pWord : words)
    {
        s = s * 29943829u - 1u;
        *pWord = s;
    }
}

void RandomState::Construct()
{
    g_randomHook(0);
    // Seed(0) worked out ahead of time.
    m_x0 = 0xFFFFFFFFu;
    m_x1 = 0xFE3717EAu;
    m_x2 = 0x61010631u;
    m_x3 = 0xE9F9EA04u;
    m_carry = 0x84B3D253u;
}

void RandomState::GetState(U32 (&words)[kNumWords]) const
{
    words[0] = m_x0;
    words[1] = m_x1;
    words[2] = m_x2;
    words[3] = m_x3;
    words[4] = m_carry;
}

void RandomState::SetState(const U32 (&words)[kNumWords])
{
    m_x0 = words[0];
    m_x1 = words[1];
    m_x2 = words[2];
    m_x3 = words[3];
    m_carry = words[4];
}

void GlobalSeed(U32 seed)
{
    s_randomStates[0].Seed(seed);
}

U32 GlobalNextU32()
{
    return s_randomStates[0].NextU32();
}

F32 GlobalNextFloat()
{
    return s_randomStates[0].NextFloat();
}

void GlobalNextGaussianPair(F32 (&pair)[2])
{
    F32 u, v, s;
    // Points outside the unit circle are rejected, and so is the centre: ln(0) / 0 has
    // no finite value.
    do
    {
        u = 2.0f * GlobalNextFloat() - 1.0f;
        v = 2.0f * GlobalNextFloat() - 1.0f;
        s = v * v + u * u;
    } while (s >= 1.0f || s == 0.0f);
    F64 f = std::sqrt(-2.0 * std::log(static_cast<F64>(s)) / s);
    pair[0] = static_cast<F32>(f * u);
    pair[1] = static_cast<F32>(f * v);
}

void GlobalGetState(U32 (&words)[RandomState::kNumWords])
{
    s_randomStates[0].GetState(words);
}

void GlobalSetState(const U32 (&words)[RandomState::kNumWords])
{
    s_randomStates[0].SetState(words);
}

void SetRandomHook(RandomHook hook)
{
    OX_ASSERT(hook);
    g_randomHook = hook;
}

RandomHook GetRandomHook()
{
    return g_randomHook;
}
