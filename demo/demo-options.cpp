#include "demo/demo-options.h"

#include <cstring>

bool ParseDemoOptions(int argc, char** argv, DemoOptions* pOptions, const char** pError)
{
    *pOptions = DemoOptions();
    *pError = nullptr;
    for (int index = 1; index < argc; ++index)
    {
        if (std::strcmp(argv[index], "-jobtrace") != 0)
            continue;
        if (index + 1 >= argc || argv[index + 1][0] == '\0')
        {
            *pError = "-jobtrace needs a file name: -jobtrace <file>";
            return false;
        }
        pOptions->m_pJobTracePath = argv[++index];
    }
    return true;
}
