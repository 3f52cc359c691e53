// The demo's simulation: what its end-to-end check relies on. The cloth's bands give the
// same bits in whatever order they run (within a step no two bands share a point, and a
// pass changes each point through one link at most), the comparison finds a single
// changed bit, and the cloth behaves like one (pinned top row, links near their rest
// length, a falling cloth that stays finite).
#include "demo/demo-simulation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace
{
constexpr U32 kFrames = 12;

// One run's storage.
struct SimulationRun
{
    SimulationRun() : m_cloth(kClothPoints), m_bounds(kFrames), m_audio(kFrames * kAudioSamplesPerFrame)
    {
        InitCloth(m_cloth.data());
    }
    SimulationResults Results() { return {m_cloth.data(), m_bounds.data(), m_audio.data()}; }

    std::vector<ClothPoint> m_cloth;
    std::vector<ClothBounds> m_bounds;
    std::vector<F32> m_audio;
};

// The serial steps with the bands of every step in a scrambled order, and each frame's
// audio mixed after its cloth instead of before.
void RunScrambled(U32 numFrames, SimulationRun& run)
{
    AudioMixer mixer;
    InitAudioMixer(&mixer);
    auto scrambled = [](U32 index, U32 count) { return (index * 5 + 3) % count; }; // 5 is prime to 6 and 8
    ClothPoint* pCloth = run.m_cloth.data();
    for (U32 frame = 0; frame < numFrames; ++frame)
    {
        for (U32 i = 0; i < kClothRowBands; ++i)
            IntegrateClothBand(pCloth, frame, scrambled(i, kClothRowBands));
        for (U32 pass = 0; pass < kClothSolverPasses; ++pass)
            for (U32 i = GetClothPassBands(pass); i-- > 0;)
                SolveClothPassBand(pCloth, pass, scrambled(i, GetClothPassBands(pass)));
        ClothBounds bands[kClothRowBands];
        for (U32 i = 0; i < kClothRowBands; ++i)
        {
            const U32 band = scrambled(i, kClothRowBands);
            bands[band] = SummariseClothBand(pCloth, band);
        }
        run.m_bounds[frame] = CombineClothBounds(bands, kClothRowBands);
        MixAudioFrame(&mixer, frame, run.m_audio.data() + frame * kAudioSamplesPerFrame);
    }
}

TEST(DemoSimulationTest, BandOrderDoesNotChangeAnyBit)
{
    SimulationRun serial;
    SimulationRun scrambled;
    RunSerialSimulation(kFrames, serial.Results());
    RunScrambled(kFrames, scrambled);
    const SimulationComparison comparison =
        CompareSimulations(kFrames, serial.Results(), scrambled.Results());
    EXPECT_TRUE(comparison.Matches());
    EXPECT_EQ(comparison.m_clothMismatches, 0u);
    EXPECT_EQ(comparison.m_boundsMismatches, 0u);
    EXPECT_EQ(comparison.m_audioMismatches, 0u);
    EXPECT_EQ(comparison.m_maxClothDifference, 0.0f);
}

TEST(DemoSimulationTest, ComparisonFindsOneChangedBit)
{
    SimulationRun a;
    SimulationRun b;
    RunSerialSimulation(kFrames, a.Results());
    RunSerialSimulation(kFrames, b.Results());
    ASSERT_TRUE(CompareSimulations(kFrames, a.Results(), b.Results()).Matches());

    U32 bits;
    std::memcpy(&bits, &b.m_cloth[700].m_pos[2], sizeof(bits));
    bits ^= 1;
    std::memcpy(&b.m_cloth[700].m_pos[2], &bits, sizeof(bits));
    b.m_bounds[kFrames - 1].m_sumY += 1.0f;
    b.m_audio[123] = -b.m_audio[123] + 0.5f;
    const SimulationComparison comparison = CompareSimulations(kFrames, a.Results(), b.Results());
    EXPECT_FALSE(comparison.Matches());
    EXPECT_EQ(comparison.m_clothMismatches, 1u);
    EXPECT_GT(comparison.m_maxClothDifference, 0.0f);
    EXPECT_EQ(comparison.m_boundsMismatches, 1u);
    EXPECT_EQ(comparison.m_audioMismatches, 1u);
}

TEST(DemoSimulationTest, ClothHangsFromItsPinsAndKeepsItsShape)
{
    SimulationRun run;
    const std::vector<ClothPoint> start = run.m_cloth;
    RunSerialSimulation(kFrames, run.Results());
    for (U32 x = 0; x < kClothWidth; ++x)
        EXPECT_EQ(std::memcmp(&run.m_cloth[x], &start[x], sizeof(ClothPoint)), 0) << "pinned point " << x;
    F32 lowest = run.m_cloth[0].m_pos[1];
    for (U32 y = 0; y < kClothHeight; ++y)
    {
        for (U32 x = 0; x < kClothWidth; ++x)
        {
            const ClothPoint& point = run.m_cloth[y * kClothWidth + x];
            for (F32 coordinate : point.m_pos)
                ASSERT_TRUE(std::isfinite(coordinate));
            lowest = std::fmin(lowest, point.m_pos[1]);
            // Horizontal links keep close to their rest length of 0.05.
            if (x + 1 < kClothWidth)
            {
                const ClothPoint& next = run.m_cloth[y * kClothWidth + x + 1];
                F32 lengthSquared = 0;
                for (int i = 0; i < 3; ++i)
                    lengthSquared += (next.m_pos[i] - point.m_pos[i]) * (next.m_pos[i] - point.m_pos[i]);
                EXPECT_NEAR(std::sqrt(lengthSquared), 0.05f, 0.03f) << x << "," << y;
            }
        }
    }
    EXPECT_LT(lowest, start[0].m_pos[1] - 0.1f) << "the cloth falls";
    // The bounds the frames report enclose every point.
    const ClothBounds& last = run.m_bounds[kFrames - 1];
    EXPECT_LE(last.m_min[1], lowest);
    EXPECT_EQ(last.m_max[1], start[0].m_pos[1]);
}
} // namespace
