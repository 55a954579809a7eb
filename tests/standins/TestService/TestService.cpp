// Stand-in service for the tests: a Win32 own-process service whose behaviour its command
// line chooses (the options follow the program in the service's binary path):
//   --start-pending MS   stay start-pending this long before running (default 0)
//   --start-hint MS      wait hint reported while start-pending (default 0)
//   --fail-start CODE    end the start in "stopped" with this exit code instead of running
//   --no-stop            never accept the stop control
//   --stop-pending MS    stay stop-pending this long after the stop control (default 0)
//   --stop-hint MS       wait hint reported while stop-pending (default 0)
#include <windows.h>
#include <shellapi.h>
#include <cwchar>

namespace
{
struct Options
{
    DWORD startPendingMs = 0;
    DWORD startHintMs = 0;
    DWORD failStartCode = 0;
    bool acceptsStop = true;
    DWORD stopPendingMs = 0;
    DWORD stopHintMs = 0;
};

Options g_options;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopRequested = nullptr;
DWORD g_checkPoint = 0;

void Report(DWORD state, DWORD waitHint, DWORD exitCode = NO_ERROR)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = (state == SERVICE_RUNNING && g_options.acceptsStop) ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = waitHint;
    status.dwCheckPoint =
        (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) ? ++g_checkPoint : 0;
    SetServiceStatus(g_statusHandle, &status);
}

// Stays in a pending state for ms, reporting progress every 100 ms as a real service does.
void StayPending(DWORD state, DWORD ms, DWORD waitHint)
{
    for (DWORD waited = 0; waited < ms; waited += 100)
    {
        Sleep(ms - waited < 100 ? ms - waited : 100);
        Report(state, waitHint);
    }
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*)
{
    switch (control)
    {
    case SERVICE_CONTROL_STOP:
        if (!g_options.acceptsStop)
        {
            return ERROR_CALL_NOT_IMPLEMENTED;
        }
        Report(SERVICE_STOP_PENDING, g_options.stopHintMs);
        SetEvent(g_stopRequested);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, wchar_t** argv)
{
    g_statusHandle = RegisterServiceCtrlHandlerExW(argv[0], Handler, nullptr);
    if (!g_statusHandle)
    {
        return;
    }
    Report(SERVICE_START_PENDING, g_options.startHintMs);
    StayPending(SERVICE_START_PENDING, g_options.startPendingMs, g_options.startHintMs);
    if (g_options.failStartCode != 0)
    {
        Report(SERVICE_STOPPED, 0, g_options.failStartCode);
        return;
    }
    Report(SERVICE_RUNNING, 0);
    WaitForSingleObject(g_stopRequested, INFINITE);
    StayPending(SERVICE_STOP_PENDING, g_options.stopPendingMs, g_options.stopHintMs);
    Report(SERVICE_STOPPED, 0);
}

void ParseOptions()
{
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args)
    {
        return;
    }
    for (int i = 1; i < count; ++i)
    {
        const wchar_t* option = args[i];
        const DWORD value = i + 1 < count ? wcstoul(args[i + 1], nullptr, 0) : 0;
        if (wcscmp(option, L"--no-stop") == 0)
        {
            g_options.acceptsStop = false;
            continue;
        }
        DWORD* target = nullptr;
        if (wcscmp(option, L"--start-pending") == 0)
            target = &g_options.startPendingMs;
        else if (wcscmp(option, L"--start-hint") == 0)
            target = &g_options.startHintMs;
        else if (wcscmp(option, L"--fail-start") == 0)
            target = &g_options.failStartCode;
        else if (wcscmp(option, L"--stop-pending") == 0)
            target = &g_options.stopPendingMs;
        else if (wcscmp(option, L"--stop-hint") == 0)
            target = &g_options.stopHintMs;
        if (target)
        {
            *target = value;
            ++i;
        }
    }
    LocalFree(args);
}
} // namespace

int main()
{
    ParseOptions();
    g_stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t anyName[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{anyName, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
