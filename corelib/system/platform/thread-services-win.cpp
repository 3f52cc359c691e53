// COM (ole32) and the multimedia class scheduler (avrt) on Windows. Both libraries are
// loaded from the system folder on first use, so that the library links nothing beyond
// kernel32 and a program that never starts a worker thread never loads them.
#include "corelib/system/platform/thread-services.h"

#include "corelib/util/msg-assert.h"

#include <windows.h>

namespace oxsys
{
namespace
{
constexpr DWORD kCoInitMultithreaded = 0; // COINIT_MULTITHREADED
constexpr int kAvrtPriorityHigh = 2;      // AVRT_PRIORITY_HIGH

using CoInitializeExFn = HRESULT(WINAPI*)(LPVOID pReserved, DWORD coInit);
using CoUninitializeFn = void(WINAPI*)();
using AvSetMmThreadCharacteristicsWFn = HANDLE(WINAPI*)(LPCWSTR taskName, LPDWORD pTaskIndex);
using AvSetMmThreadPriorityFn = BOOL(WINAPI*)(HANDLE avrtHandle, int priority); // an AVRT_PRIORITY
using AvRevertMmThreadCharacteristicsFn = BOOL(WINAPI*)(HANDLE avrtHandle);

// Finds the named functions of a system library; a function that could not be found
// stays null, and m_loadError keeps why (for the caller's last error).
class SystemLibrary
{
public:
    explicit SystemLibrary(const wchar_t* name)
        : m_module(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)),
          m_loadError(m_module ? ERROR_SUCCESS : GetLastError())
    {
    }

    template <typename Function>
    Function Find(const char* name)
    {
        if (!m_module)
            return nullptr;
        const FARPROC procedure = GetProcAddress(m_module, name);
        if (!procedure && m_loadError == ERROR_SUCCESS)
            m_loadError = GetLastError();
        return reinterpret_cast<Function>(reinterpret_cast<void*>(procedure));
    }

    DWORD GetLoadError() const { return m_loadError; }

private:
    HMODULE m_module;
    DWORD m_loadError;
};

struct ComFunctions
{
    CoInitializeExFn m_pCoInitializeEx;
    CoUninitializeFn m_pCoUninitialize;
    DWORD m_loadError;
};

struct AvrtFunctions
{
    AvSetMmThreadCharacteristicsWFn m_pAvSetMmThreadCharacteristicsW;
    AvSetMmThreadPriorityFn m_pAvSetMmThreadPriority;
    AvRevertMmThreadCharacteristicsFn m_pAvRevertMmThreadCharacteristics;
    DWORD m_loadError;
};

// Looked up once, by the first thread that asks (a function-local static is initialised
// exactly once even when threads race); the libraries stay loaded.
const ComFunctions& Com()
{
    static const ComFunctions s_functions = []
    {
        SystemLibrary library(L"ole32.dll");
        ComFunctions functions;
        functions.m_pCoInitializeEx = library.Find<CoInitializeExFn>("CoInitializeEx");
        functions.m_pCoUninitialize = library.Find<CoUninitializeFn>("CoUninitialize");
        functions.m_loadError = library.GetLoadError();
        return functions;
    }();
    return s_functions;
}

const AvrtFunctions& Avrt()
{
    static const AvrtFunctions s_functions = []
    {
        SystemLibrary library(L"avrt.dll");
        AvrtFunctions functions;
        functions.m_pAvSetMmThreadCharacteristicsW =
            library.Find<AvSetMmThreadCharacteristicsWFn>("AvSetMmThreadCharacteristicsW");
        functions.m_pAvSetMmThreadPriority = library.Find<AvSetMmThreadPriorityFn>("AvSetMmThreadPriority");
        functions.m_pAvRevertMmThreadCharacteristics =
            library.Find<AvRevertMmThreadCharacteristicsFn>("AvRevertMmThreadCharacteristics");
        functions.m_loadError = library.GetLoadError();
        return functions;
    }();
    return s_functions;
}

// Successful COM initialisations of this thread not yet balanced: an uninitialisation
// after a failed initialisation must not leave an apartment that someone else entered.
thread_local U32 t_comInitializations = 0;
} // namespace

bool InitializeThreadCom()
{
    const ComFunctions& com = Com();
    if (!com.m_pCoInitializeEx || !com.m_pCoUninitialize)
    {
        SetLastError(com.m_loadError);
        return false;
    }
    // S_FALSE (already in the apartment) is a success that needs its own CoUninitialize.
    const HRESULT result = com.m_pCoInitializeEx(nullptr, kCoInitMultithreaded);
    if (FAILED(result))
    {
        SetLastError(static_cast<DWORD>(result));
        return false;
    }
    ++t_comInitializations;
    return true;
}

void UninitializeThreadCom()
{
    if (t_comInitializations == 0)
        return;
    --t_comInitializations;
    Com().m_pCoUninitialize();
}

U64 BeginProAudioThreadTask()
{
    const AvrtFunctions& avrt = Avrt();
    if (!avrt.m_pAvSetMmThreadCharacteristicsW || !avrt.m_pAvSetMmThreadPriority ||
        !avrt.m_pAvRevertMmThreadCharacteristics)
    {
        SetLastError(avrt.m_loadError);
        return 0;
    }
    // Task index 0 asks for a new task.
    DWORD taskIndex = 0;
    return reinterpret_cast<U64>(avrt.m_pAvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex));
}

bool SetThreadTaskPriorityHigh(U64 taskHandle)
{
    // A registration that failed has no task: the same answer as the system's for a
    // null handle, without depending on it.
    if (taskHandle == 0)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // A handle that is not 0 came from BeginProAudioThreadTask, so the functions exist.
    const AvSetMmThreadPriorityFn pSetPriority = Avrt().m_pAvSetMmThreadPriority;
    OX_ASSERT_MSG(pSetPriority, "Task handle 0x%llx was not made by BeginProAudioThreadTask",
                  static_cast<unsigned long long>(taskHandle));
    return pSetPriority(reinterpret_cast<HANDLE>(taskHandle), kAvrtPriorityHigh) != 0;
}

void EndThreadTask(U64 taskHandle)
{
    if (taskHandle == 0)
        return;
    const AvRevertMmThreadCharacteristicsFn pRevert = Avrt().m_pAvRevertMmThreadCharacteristics;
    OX_ASSERT_MSG(pRevert, "Task handle 0x%llx was not made by BeginProAudioThreadTask",
                  static_cast<unsigned long long>(taskHandle));
    // Reverting the thread's own registration has nothing to report.
    (void)pRevert(reinterpret_cast<HANDLE>(taskHandle));
}
} // namespace oxsys
