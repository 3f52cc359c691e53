// Installs the job system's answers to the lower layers' questions about the running job.
#pragma once

namespace oxjob
{
// Installed by Initialize before the first worker starts.
void InstallRunningJobQueries();
// Removed by Shutdown after the last worker ended.
void RemoveRunningJobQueries();
} // namespace oxjob
