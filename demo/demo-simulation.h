// The demo game's workload: a cloth pinned along its top row, pulled by gravity and a
// changing wind and held together by distance constraints, and an audio mix of a few
// voices. The cloth's work is split into bands (of rows or of columns) that jobs run in
// parallel. Within one step every band touches its own points only, and every point is
// changed by at most one constraint per pass, so the result does not depend on the order
// in which the bands run: it equals the serial computation bit for bit, which is how the
// demo checks what its jobs computed.
#pragma once

#include "corelib/util/types.h"

// --- Cloth ---------------------------------------------------------------------------

constexpr U32 kClothWidth = 48;
constexpr U32 kClothHeight = 32;
constexpr U32 kClothPoints = kClothWidth * kClothHeight;
constexpr U32 kClothRowsPerBand = 4;
constexpr U32 kClothColumnsPerBand = 8;
constexpr U32 kClothRowBands = kClothHeight / kClothRowsPerBand;
constexpr U32 kClothColumnBands = kClothWidth / kClothColumnsPerBand;
static_assert(kClothHeight % kClothRowsPerBand == 0 && kClothWidth % kClothColumnsPerBand == 0,
              "bands cover the cloth exactly");
// Each solver iteration is four passes: horizontal links starting at even and at odd
// columns, vertical links starting at even and at odd rows.
constexpr U32 kClothSolverIterations = 2;
constexpr U32 kClothSolverPasses = 4 * kClothSolverIterations;

struct ClothPoint
{
    F32 m_pos[3];
    F32 m_prev[3]; // the position one step earlier (Verlet integration)
};

// The extent of a set of points and the sum of their heights.
struct ClothBounds
{
    F32 m_min[3];
    F32 m_max[3];
    F32 m_sumY;
};

// Lays the cloth out flat and at rest (kClothPoints points, row by row).
void InitCloth(ClothPoint* pPoints);
// Moves the points of one row band by one step of gravity and wind.
void IntegrateClothBand(ClothPoint* pPoints, U32 frame, U32 rowBand);
// The number of bands of a solver pass: row bands for horizontal links, column bands for vertical ones.
constexpr U32 GetClothPassBands(U32 pass)
{
    return (pass % 4) < 2 ? kClothRowBands : kClothColumnBands;
}
// Satisfies one band's share of the links of one solver pass.
void SolveClothPassBand(ClothPoint* pPoints, U32 pass, U32 band);
// The bounds of one row band.
ClothBounds SummariseClothBand(const ClothPoint* pPoints, U32 rowBand);
// Combines band bounds in band order.
ClothBounds CombineClothBounds(const ClothBounds* pBands, U32 numBands);

// --- Audio ---------------------------------------------------------------------------

constexpr U32 kAudioSamplesPerFrame = 800; // 48 kHz at 60 frames a second
constexpr U32 kAudioVoices = 4;

// Triangle oscillators with integer phases, so that every frame's mix is exact.
struct AudioMixer
{
    U32 m_phase[kAudioVoices];
    U32 m_step[kAudioVoices];
};

void InitAudioMixer(AudioMixer* pMixer);
// Mixes one frame of samples into pOut (kAudioSamplesPerFrame) and advances the voices.
void MixAudioFrame(AudioMixer* pMixer, U32 frame, F32* pOut);

// --- The serial reference --------------------------------------------------------------

// Everything a run of the simulation produces.
struct SimulationResults
{
    ClothPoint* m_pCloth;        // kClothPoints
    ClothBounds* m_pFrameBounds; // one per frame
    F32* m_pAudio;               // kAudioSamplesPerFrame per frame
};

// Runs numFrames frames on the calling thread, band after band in the order the jobs are
// submitted, into results whose cloth InitCloth prepared.
void RunSerialSimulation(U32 numFrames, const SimulationResults& results);

// How two runs differ.
struct SimulationComparison
{
    U32 m_clothMismatches;  // points whose position or previous position differ
    U32 m_boundsMismatches; // frames whose bounds differ
    U32 m_audioMismatches;  // samples that differ
    F32 m_maxClothDifference;

    bool Matches() const
    {
        return m_clothMismatches == 0 && m_boundsMismatches == 0 && m_audioMismatches == 0;
    }
};

// Compares two runs value by value (bitwise: the same computation must give the same bits).
SimulationComparison CompareSimulations(U32 numFrames, const SimulationResults& a,
                                        const SimulationResults& b);
