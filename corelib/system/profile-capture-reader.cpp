#include "corelib/system/profile-capture-reader.h"

namespace
{
constexpr U64 kTypeMask = (1ull << kProfileEventTimeShift) - 1;
constexpr U64 kStampBits = 64 - kProfileEventTimeShift;
constexpr U64 kStampMask = (1ull << kStampBits) - 1;

// A header keeps the counter's low 44 bits; the high ones are those of the capture's
// start, or one more when the low bits wrapped since (a capture is far shorter than 2^44
// ticks).
U64 FullTime(U64 stamp, U64 startTime)
{
    U64 time = (startTime & ~kStampMask) | stamp;
    if (time < startTime && startTime - time > (kStampMask >> 1))
        time += kStampMask + 1;
    return time;
}

// Reads a name written by the markers at p (its marker word first), appends it to pName
// and returns the position after it. A name cut short at pEnd ends there.
const U64* ReadName(const U64* p, const U64* pEnd, std::string* pName)
{
    if (p >= pEnd || (*p != kProfileEventString8 && *p != kProfileEventString16))
        return p;
    const U64 wordsPerChunk = (*p == kProfileEventString16) ? 2 : 1;
    ++p;
    bool ended = false;
    while (!ended && p + wordsPerChunk <= pEnd)
    {
        for (U64 w = 0; w < wordsPerChunk; ++w, ++p)
        {
            const U64 word = *p;
            for (int i = 0; i < 8 && !ended; ++i)
            {
                const char c = static_cast<char>((word >> (8 * i)) & 0xFF);
                ended = (c == 0);
                if (!ended)
                    pName->push_back(c);
            }
        }
    }
    return p;
}

// Regions are placed in order at their begins and completed at their ends.
struct RegionBuilder
{
    std::vector<ProfileRegion> m_regions;
    std::vector<U64> m_open;          // indices of the open regions, innermost last
    std::vector<U64> m_orphansBefore; // per region: ends without a begin read before its begin
    U64 m_orphans = 0;
    U64 m_startTime;

    void Begin(U64 time, U32 color, std::string name)
    {
        ProfileRegion region;
        region.m_begin = time;
        region.m_color = color;
        region.m_name = std::move(name);
        region.m_depth = static_cast<U32>(m_open.size());
        m_open.push_back(m_regions.size());
        m_regions.push_back(std::move(region));
        m_orphansBefore.push_back(m_orphans);
    }

    void End(U64 time)
    {
        if (!m_open.empty())
        {
            m_regions[m_open.back()].m_end = time;
            m_open.pop_back();
            return;
        }
        // A region that was open when the capture began: it encloses everything so far,
        // so it goes before them.
        ProfileRegion region;
        region.m_begin = m_startTime;
        region.m_end = time;
        region.m_openAtStart = true;
        m_regions.insert(m_regions.begin(), std::move(region));
        m_orphansBefore.insert(m_orphansBefore.begin(), m_orphans);
        ++m_orphans;
    }

    std::vector<ProfileRegion> Finish(U64 stopTime)
    {
        for (U64 index : m_open)
        {
            m_regions[index].m_end = stopTime;
            m_regions[index].m_openAtStop = true;
        }
        // Every region open since the start that ended after a region began encloses it.
        for (U64 i = 0; i < m_regions.size(); ++i)
        {
            ProfileRegion& region = m_regions[i];
            if (region.m_openAtStart)
                region.m_depth = static_cast<U32>(m_orphans - 1 - m_orphansBefore[i]);
            else
                region.m_depth += static_cast<U32>(m_orphans - m_orphansBefore[i]);
        }
        return std::move(m_regions);
    }
};
} // namespace

std::vector<ProfileRegion> ReadProfileEventSpans(const ProfileEventSpan* pSpans, U64 numSpans, U64 startTime,
                                                 U64 stopTime)
{
    RegionBuilder builder;
    builder.m_startTime = startTime;
    for (U64 s = 0; s < numSpans; ++s)
    {
        const U64* p = pSpans[s].m_pEvents;
        const U64* pEnd = pSpans[s].m_pEnd;
        while (p < pEnd && *p != kProfileEventEndOfBlock)
        {
            const U64 header = *p++;
            const U64 time = FullTime(header >> kProfileEventTimeShift, startTime);
            if ((header & kTypeMask) == kProfileEventBeginNoArgs)
            {
                const U32 color = static_cast<U32>(p < pEnd ? *p++ : 0);
                std::string name;
                p = ReadName(p, pEnd, &name);
                builder.Begin(time, color, std::move(name));
            }
            else
            {
                builder.End(time);
            }
        }
    }
    return builder.Finish(stopTime);
}

std::vector<ProfileThreadRegions> ReadProfileCapture(const ProfileCaptureData& capture)
{
    std::vector<ProfileThreadRegions> threads;
    std::vector<ProfileEventSpan> spans;
    for (U32 t = 0; t < capture.m_numThreads; ++t)
    {
        const ProfileCaptureThread& thread = capture.m_pThreads[t];
        spans.clear();
        for (const U64* pBlock = thread.m_pFirstBlock; pBlock;
             pBlock = reinterpret_cast<const U64*>(pBlock[0]))
            spans.push_back({pBlock + 1, pBlock + kProfileCaptureBlockWords - 1});
        ProfileThreadRegions regions;
        regions.m_threadId = thread.m_threadId;
        regions.m_isWorker = thread.m_isWorker;
        regions.m_droppedEvents = thread.m_droppedEvents;
        regions.m_regions =
            ReadProfileEventSpans(spans.data(), spans.size(), capture.m_startTime, capture.m_stopTime);
        threads.push_back(std::move(regions));
    }
    return threads;
}
