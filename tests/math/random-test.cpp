#include "corelib/math/random.h"

#include "corelib/util/static-init-order.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace
{
constexpr U32 kDefaultState[5] = {0xFFFFFFFFu, 0xFE3717EAu, 0x61010631u, 0xE9F9EA04u, 0x84B3D253u};

std::vector<U32>* s_pSeen = nullptr;

void RecordHook(U32 value)
{
    s_pSeen->push_back(value);
}

// Records the hook calls of a test and puts the previous hook back afterwards.
struct HookRecorder
{
    HookRecorder() : m_previous(GetRandomHook())
    {
        s_pSeen = &m_seen;
        SetRandomHook(RecordHook);
    }
    ~HookRecorder()
    {
        SetRandomHook(m_previous);
        s_pSeen = nullptr;
    }
    RandomHook m_previous;
    std::vector<U32> m_seen;
};

// Start-up observers around the rank of the global random states: the first installs a
// counting hook before they are constructed, the second looks at the result afterwards.
int s_startupZeroCalls = 0;
int s_startupOtherCalls = 0;
U32 s_startupState[5] = {};
bool s_startupSeen = false;

void CountStartupHook(U32 value)
{
    (value == 0 ? s_startupZeroCalls : s_startupOtherCalls)++;
}

struct BeforeRandomStates
{
    BeforeRandomStates() { SetRandomHook(CountStartupHook); }
};
struct AfterRandomStates
{
    AfterRandomStates()
    {
        GlobalGetState(s_startupState);
        s_startupSeen = true;
        SetRandomHook([](U32) {});
    }
};
static_assert(kInitRankRandomStates - 1 > 100 && kInitRankRandomStates + 1 <= 65535);
BeforeRandomStates s_before __attribute__((init_priority(kInitRankRandomStates - 1)));
AfterRandomStates s_after __attribute__((init_priority(kInitRankRandomStates + 1)));
} // namespace

TEST(Random, GlobalStatesAreDefaultConstructedAtStartUp)
{
    ASSERT_TRUE(s_startupSeen);
    // Both global states reported seed 0 to the hook, and nothing else was drawn.
    EXPECT_EQ(s_startupZeroCalls, 2);
    EXPECT_EQ(s_startupOtherCalls, 0);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(s_startupState[i], kDefaultState[i]) << i;
}

TEST(Random, SeedZeroEqualsDefaultConstruction)
{
    HookRecorder recorder;
    RandomState seeded;
    seeded.m_x0 = seeded.m_carry = 7;
    seeded.Seed(0);
    RandomState constructed;
    U32 a[5], b[5];
    seeded.GetState(a);
    constructed.GetState(b);
    for (int i = 0; i < 5; ++i)
    {
        EXPECT_EQ(a[i], kDefaultState[i]) << i;
        EXPECT_EQ(b[i], kDefaultState[i]) << i;
    }
    // Construction of both records and the seeding each reported 0.
    EXPECT_EQ(recorder.m_seen, (std::vector<U32>{0, 0, 0}));
}

TEST(Random, SeedFollowsTheRecurrence)
{
    HookRecorder recorder;
    RandomState state;
    state.Seed(12345);
    U32 words[5];
    state.GetState(words);
    const U32 expected[5] = {0x113F9CACu, 0x2293BA1Bu, 0x36DEBC36u, 0x9B06606Du, 0x4110B0F0u};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(words[i], expected[i]) << i;
    EXPECT_EQ(recorder.m_seen.back(), 12345u);
}

TEST(Random, FirstStepFromTheDefaultState)
{
    HookRecorder recorder;
    RandomState state;
    EXPECT_EQ(state.NextU32(), 0x0D90A068u); // sum 0x7301D1140D90A068
    EXPECT_EQ(state.m_carry, 0x7301D114u);
    EXPECT_EQ(state.m_x1, kDefaultState[0]);
    EXPECT_EQ(state.m_x2, kDefaultState[1]);
    EXPECT_EQ(state.m_x3, kDefaultState[2]);
    EXPECT_EQ(recorder.m_seen, (std::vector<U32>{0, 0x0D90A068u}));
}

TEST(Random, FloatConversionStaysBelowOne)
{
    EXPECT_LT(RandomState::ToFloat(0xFFFFFFFFu), 1.0f);
    EXPECT_EQ(RandomState::ToFloat(0), 0.0f);
    EXPECT_EQ(RandomState::ToFloat(0x80000100u), 0.5f);
    RandomState state;
    RandomState copy = state;
    for (int i = 0; i < 1000; ++i)
    {
        F32 f = state.NextFloat();
        EXPECT_EQ(f, RandomState::ToFloat(copy.NextU32()));
        EXPECT_GE(f, 0.0f);
        EXPECT_LT(f, 1.0f);
    }
}

TEST(Random, GetAndSetStateForkTheSequence)
{
    RandomState a;
    a.Seed(99);
    a.NextU32();
    U32 words[5];
    a.GetState(words);
    RandomState b;
    b.SetState(words);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(a.NextU32(), b.NextU32());
}

TEST(Random, GlobalOperationsUseTheFirstState)
{
    U32 saved[5];
    GlobalGetState(saved);
    GlobalSeed(42);
    RandomState local;
    local.Seed(42);
    EXPECT_EQ(GlobalNextU32(), local.NextU32());
    EXPECT_EQ(GlobalNextFloat(), local.NextFloat());
    U32 global[5], own[5];
    GlobalGetState(global);
    local.GetState(own);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(global[i], own[i]);
    GlobalSetState(saved);
    GlobalGetState(global);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(global[i], saved[i]);
}

TEST(Random, GaussianPairUsesPointsInsideTheCircle)
{
    GlobalSeed(7);
    HookRecorder recorder;
    double sum = 0, sumSquares = 0;
    const int kPairs = 20000;
    for (int i = 0; i < kPairs; ++i)
    {
        size_t first = recorder.m_seen.size();
        F32 pair[2];
        GlobalNextGaussianPair(pair);
        // Redo the polar method from the values the hook saw: the last two draws give the
        // accepted point, every earlier pair was outside the circle.
        size_t drawn = recorder.m_seen.size() - first;
        ASSERT_EQ(drawn % 2, 0u);
        for (size_t k = first; k < recorder.m_seen.size(); k += 2)
        {
            F32 u = 2.0f * RandomState::ToFloat(recorder.m_seen[k]) - 1.0f;
            F32 v = 2.0f * RandomState::ToFloat(recorder.m_seen[k + 1]) - 1.0f;
            F32 s = v * v + u * u;
            bool last = (k + 2 == recorder.m_seen.size());
            ASSERT_EQ(s < 1.0f && s > 0.0f, last);
            if (last)
            {
                double f = std::sqrt(-2.0 * std::log(static_cast<double>(s)) / s);
                EXPECT_EQ(pair[0], static_cast<F32>(f * u));
                EXPECT_EQ(pair[1], static_cast<F32>(f * v));
            }
        }
        sum += pair[0] + pair[1];
        sumSquares += pair[0] * pair[0] + pair[1] * pair[1];
    }
    double mean = sum / (2 * kPairs);
    double variance = sumSquares / (2 * kPairs) - mean * mean;
    EXPECT_NEAR(mean, 0.0, 0.03);
    EXPECT_NEAR(variance, 1.0, 0.05);
}

TEST(Random, GaussianPairRejectsTheCentre)
{
    // This state draws exactly 0.5 twice (u = v = 0, s = 0), then an ordinary point.
    const U32 centre[5] = {0, 0, 0xF496435Du, 0, 0x043F66FCu};
    GlobalSetState(centre);
    RandomState replay;
    replay.SetState(centre);
    EXPECT_EQ(replay.NextFloat(), 0.5f);
    EXPECT_EQ(replay.NextFloat(), 0.5f);
    F32 u = 2.0f * replay.NextFloat() - 1.0f;
    F32 v = 2.0f * replay.NextFloat() - 1.0f;
    F32 s = v * v + u * u;
    ASSERT_LT(s, 1.0f);
    F32 pair[2];
    GlobalNextGaussianPair(pair);
    EXPECT_TRUE(std::isfinite(pair[0]) && std::isfinite(pair[1]));
    double f = std::sqrt(-2.0 * std::log(static_cast<double>(s)) / s);
    EXPECT_EQ(pair[0], static_cast<F32>(f * u));
    EXPECT_EQ(pair[1], static_cast<F32>(f * v));
}

TEST(RandomDeathTest, HookIsNeverNull)
{
    EXPECT_DEATH(SetRandomHook(nullptr), "hook");
}
