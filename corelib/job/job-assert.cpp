#include "corelib/job/job-assert.h"

#include <cstring>

namespace oxjob
{
namespace
{
struct ConditionExplanation
{
    const char* m_condition;
    const char* m_explanation;
};

const ConditionExplanation kExplanations[] = {
    {"g_pJobSysData", "The job system is not initialised"},
};
} // namespace

const char* JobAssertExplanation(const char* condition)
{
    for (const ConditionExplanation& entry : kExplanations)
        if (std::strcmp(entry.m_condition, condition) == 0)
            return entry.m_explanation;
    return nullptr;
}

void ReportJobAssert(const char* condition, const char* sourcePath, const char* functionName, int line)
{
    OxAssertBegin();
    const char* pExplanation = JobAssertExplanation(condition);
    const char* pMessage = nullptr;
    if (pExplanation && OxAssertHasReportHandler())
    {
        AssertMessageFormatter formatter = GetAssertMessageFormatter();
        pMessage = formatter ? formatter("%s", pExplanation) : "";
    }
    OxAssertReport(condition, sourcePath, functionName, line, pMessage);
}
} // namespace oxjob
