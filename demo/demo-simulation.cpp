#include "demo/demo-simulation.h"

#include "corelib/system/profiler-events.h"

#include <cmath>
#include <cstring>

namespace
{
constexpr F32 kSpacing = 0.05f; // rest length of every link
constexpr F32 kTimeStep = 1.0f / 60.0f;
constexpr F32 kDamping = 0.99f;
constexpr F32 kGravity = -9.81f;
// The cloth starts flat at this height, away from 0 on every axis, so that differences
// of nearby coordinates never come near the denormal range.
constexpr F32 kOrigin[3] = {1.0f, 3.0f, 1.0f};

ClothPoint& PointAt(ClothPoint* pPoints, U32 x, U32 y)
{
    return pPoints[y * kClothWidth + x];
}

// The top row hangs from its pins.
bool IsPinned(U32 y)
{
    return y == 0;
}

// Moves a and b along their link until it has its rest length again; a pinned end
// stays and the other takes the whole correction.
void SatisfyLink(ClothPoint& a, bool pinnedA, ClothPoint& b, bool pinnedB)
{
    const F32 weightA = pinnedA ? 0.0f : 1.0f;
    const F32 weightB = pinnedB ? 0.0f : 1.0f;
    const F32 weightSum = weightA + weightB;
    if (weightSum == 0.0f)
        return;
    F32 delta[3];
    F32 lengthSquared = 0.0f;
    for (int i = 0; i < 3; ++i)
    {
        delta[i] = b.m_pos[i] - a.m_pos[i];
        lengthSquared += delta[i] * delta[i];
    }
    if (lengthSquared < 1e-12f)
        return;
    const F32 length = std::sqrt(lengthSquared);
    const F32 stretch = (length - kSpacing) / length;
    const F32 shareA = stretch * weightA / weightSum;
    const F32 shareB = stretch * weightB / weightSum;
    for (int i = 0; i < 3; ++i)
    {
        a.m_pos[i] += delta[i] * shareA;
        b.m_pos[i] -= delta[i] * shareB;
    }
}

// The wind of a frame: it swells and fades over 20 frames and is stronger further down.
F32 WindAt(U32 frame, U32 y)
{
    const F32 phase = static_cast<F32>(static_cast<I32>(frame % 20) - 10) / 10.0f;
    return 2.0f + 1.5f * phase + 0.05f * static_cast<F32>(y);
}

// A triangle wave from -1 to 1 over one turn of the 32-bit phase.
F32 Triangle(U32 phase)
{
    const I32 ramp = static_cast<I32>(phase >> 8) - (1 << 23); // -2^23 .. 2^23 - 1
    const F32 magnitude = static_cast<F32>(ramp < 0 ? -ramp : ramp) / static_cast<F32>(1 << 23);
    return 2.0f * magnitude - 1.0f;
}
} // namespace

void InitCloth(ClothPoint* pPoints)
{
    for (U32 y = 0; y < kClothHeight; ++y)
    {
        for (U32 x = 0; x < kClothWidth; ++x)
        {
            ClothPoint& point = PointAt(pPoints, x, y);
            point.m_pos[0] = kOrigin[0] + static_cast<F32>(x) * kSpacing;
            point.m_pos[1] = kOrigin[1];
            point.m_pos[2] = kOrigin[2] + static_cast<F32>(y) * kSpacing;
            for (int i = 0; i < 3; ++i)
                point.m_prev[i] = point.m_pos[i];
        }
    }
}

void IntegrateClothBand(ClothPoint* pPoints, U32 frame, U32 rowBand)
{
    ProfileRegionScope step("Verlet step");
    const F32 stepSquared = kTimeStep * kTimeStep;
    for (U32 y = rowBand * kClothRowsPerBand; y < (rowBand + 1) * kClothRowsPerBand; ++y)
    {
        if (IsPinned(y))
            continue;
        const F32 acceleration[3] = {0.0f, kGravity, WindAt(frame, y)};
        for (U32 x = 0; x < kClothWidth; ++x)
        {
            ClothPoint& point = PointAt(pPoints, x, y);
            for (int i = 0; i < 3; ++i)
            {
                const F32 velocity = (point.m_pos[i] - point.m_prev[i]) * kDamping;
                point.m_prev[i] = point.m_pos[i];
                point.m_pos[i] += velocity + acceleration[i] * stepSquared;
            }
        }
    }
}

void SolveClothPassBand(ClothPoint* pPoints, U32 pass, U32 band)
{
    const U32 kind = pass % 4;
    const U32 first = kind % 2; // links that start at even (0) or odd (1) columns or rows
    // The pass's step, a profiler region (seen when a capture runs).
    static constexpr const char* kPassNames[4] = {"Links: even rows", "Links: odd rows",
                                                  "Links: even columns", "Links: odd columns"};
    ProfileRegionScope step(kPassNames[kind]);
    if (kind < 2)
    {
        // Horizontal links (x, y)-(x + 1, y) of the band's rows.
        for (U32 y = band * kClothRowsPerBand; y < (band + 1) * kClothRowsPerBand; ++y)
            for (U32 x = first; x + 1 < kClothWidth; x += 2)
                SatisfyLink(PointAt(pPoints, x, y), IsPinned(y), PointAt(pPoints, x + 1, y), IsPinned(y));
    }
    else
    {
        // Vertical links (x, y)-(x, y + 1) of the band's columns.
        for (U32 x = band * kClothColumnsPerBand; x < (band + 1) * kClothColumnsPerBand; ++x)
            for (U32 y = first; y + 1 < kClothHeight; y += 2)
                SatisfyLink(PointAt(pPoints, x, y), IsPinned(y), PointAt(pPoints, x, y + 1), IsPinned(y + 1));
    }
}

ClothBounds SummariseClothBand(const ClothPoint* pPoints, U32 rowBand)
{
    ProfileRegionScope step("Bounds");
    ClothBounds bounds;
    const ClothPoint& first = pPoints[rowBand * kClothRowsPerBand * kClothWidth];
    for (int i = 0; i < 3; ++i)
        bounds.m_min[i] = bounds.m_max[i] = first.m_pos[i];
    bounds.m_sumY = 0.0f;
    for (U32 y = rowBand * kClothRowsPerBand; y < (rowBand + 1) * kClothRowsPerBand; ++y)
    {
        for (U32 x = 0; x < kClothWidth; ++x)
        {
            const ClothPoint& point = pPoints[y * kClothWidth + x];
            for (int i = 0; i < 3; ++i)
            {
                bounds.m_min[i] = point.m_pos[i] < bounds.m_min[i] ? point.m_pos[i] : bounds.m_min[i];
                bounds.m_max[i] = point.m_pos[i] > bounds.m_max[i] ? point.m_pos[i] : bounds.m_max[i];
            }
            bounds.m_sumY += point.m_pos[1];
        }
    }
    return bounds;
}

ClothBounds CombineClothBounds(const ClothBounds* pBands, U32 numBands)
{
    ClothBounds total = pBands[0];
    for (U32 band = 1; band < numBands; ++band)
    {
        for (int i = 0; i < 3; ++i)
        {
            total.m_min[i] = pBands[band].m_min[i] < total.m_min[i] ? pBands[band].m_min[i] : total.m_min[i];
            total.m_max[i] = pBands[band].m_max[i] > total.m_max[i] ? pBands[band].m_max[i] : total.m_max[i];
        }
        total.m_sumY += pBands[band].m_sumY;
    }
    return total;
}

void InitAudioMixer(AudioMixer* pMixer)
{
    // Pitches of a chord (phase steps at 48 kHz), each voice starting at its own phase.
    static constexpr U32 kSteps[kAudioVoices] = {9372638u, 11808554u, 14042847u, 18745276u};
    for (U32 voice = 0; voice < kAudioVoices; ++voice)
    {
        pMixer->m_phase[voice] = voice * 0x40000000u;
        pMixer->m_step[voice] = kSteps[voice];
    }
}

void MixAudioFrame(AudioMixer* pMixer, U32 frame, F32* pOut)
{
    // The mix's stages are profiler regions (seen when a capture runs).
    BeginProfileEvent("Voice gains");
    F32 gains[kAudioVoices];
    for (U32 voice = 0; voice < kAudioVoices; ++voice)
        gains[voice] = 0.125f * static_cast<F32>(1 + (frame + voice) % 4);
    EndProfileEvent();
    ProfileRegionScope stage("Oscillators and mix");
    for (U32 sample = 0; sample < kAudioSamplesPerFrame; ++sample)
    {
        F32 mix = 0.0f;
        for (U32 voice = 0; voice < kAudioVoices; ++voice)
        {
            mix += gains[voice] * Triangle(pMixer->m_phase[voice]);
            pMixer->m_phase[voice] += pMixer->m_step[voice];
        }
        pOut[sample] = mix;
    }
}

void RunSerialSimulation(U32 numFrames, const SimulationResults& results)
{
    AudioMixer mixer;
    InitAudioMixer(&mixer);
    for (U32 frame = 0; frame < numFrames; ++frame)
    {
        MixAudioFrame(&mixer, frame, results.m_pAudio + frame * kAudioSamplesPerFrame);
        for (U32 band = 0; band < kClothRowBands; ++band)
            IntegrateClothBand(results.m_pCloth, frame, band);
        for (U32 pass = 0; pass < kClothSolverPasses; ++pass)
            for (U32 band = 0; band < GetClothPassBands(pass); ++band)
                SolveClothPassBand(results.m_pCloth, pass, band);
        ClothBounds bands[kClothRowBands];
        for (U32 band = 0; band < kClothRowBands; ++band)
            bands[band] = SummariseClothBand(results.m_pCloth, band);
        results.m_pFrameBounds[frame] = CombineClothBounds(bands, kClothRowBands);
    }
}

SimulationComparison CompareSimulations(U32 numFrames, const SimulationResults& a, const SimulationResults& b)
{
    SimulationComparison comparison = {};
    for (U32 index = 0; index < kClothPoints; ++index)
    {
        const ClothPoint& pointA = a.m_pCloth[index];
        const ClothPoint& pointB = b.m_pCloth[index];
        if (std::memcmp(&pointA, &pointB, sizeof(ClothPoint)) != 0)
            ++comparison.m_clothMismatches;
        for (int i = 0; i < 3; ++i)
        {
            const F32 difference = std::fabs(pointA.m_pos[i] - pointB.m_pos[i]);
            // A NaN on either side counts as the largest difference.
            if (!(difference <= comparison.m_maxClothDifference))
                comparison.m_maxClothDifference = difference == difference ? difference : INFINITY;
        }
    }
    for (U32 frame = 0; frame < numFrames; ++frame)
        if (std::memcmp(&a.m_pFrameBounds[frame], &b.m_pFrameBounds[frame], sizeof(ClothBounds)) != 0)
            ++comparison.m_boundsMismatches;
    for (U32 sample = 0; sample < numFrames * kAudioSamplesPerFrame; ++sample)
        if (std::memcmp(&a.m_pAudio[sample], &b.m_pAudio[sample], sizeof(F32)) != 0)
            ++comparison.m_audioMismatches;
    return comparison;
}
