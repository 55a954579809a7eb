// Stand-in service for the tests: a Win32 own-process service whose behaviour the options
// after the program in its binary path choose:
//   --start-pending MS --start-hint MS   stay start-pending this long, with this wait hint
//   --no-stop                            never accept the stop control
//   --stop-pending MS                    stay stop-pending this long after the stop control
//   --hold PATH                          hold the file (no blanks in PATH) like a database:
//                                        unshared while running, "flushed" appended at the stop
#include <windows.h>
#include <cwchar>

namespace
{
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopRequested = nullptr;
bool g_acceptsStop = true;

DWORD Option(const wchar_t* name)
{
    const wchar_t* option = wcsstr(GetCommandLineW(), name);
    return option ? wcstoul(option + wcslen(name), nullptr, 0) : 0;
}

void Report(DWORD state, DWORD waitHint = 0)
{
    const DWORD accepted = state == SERVICE_RUNNING && g_acceptsStop ? SERVICE_ACCEPT_STOP : 0;
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, accepted, NO_ERROR, 0, 0, waitHint};
    SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_INTERROGATE)
        return NO_ERROR;
    if (control != SERVICE_CONTROL_STOP || !g_acceptsStop)
        return ERROR_CALL_NOT_IMPLEMENTED;
    Report(SERVICE_STOP_PENDING);
    SetEvent(g_stopRequested);
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, wchar_t** argv)
{
    g_statusHandle = RegisterServiceCtrlHandlerExW(argv[0], Handler, nullptr);
    Report(SERVICE_START_PENDING, Option(L"--start-hint"));
    Sleep(Option(L"--start-pending"));
    const wchar_t* hold = wcsstr(GetCommandLineW(), L"--hold ");
    wchar_t path[MAX_PATH] = {};
    if (hold)
        swscanf(hold + 7, L"%259ls", path);
    const HANDLE held = CreateFileW(path, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    Report(SERVICE_RUNNING);
    WaitForSingleObject(g_stopRequested, INFINITE);
    Sleep(Option(L"--stop-pending"));
    DWORD written = 0;
    WriteFile(held, "flushed", 7, &written, nullptr); // fails harmlessly without --hold
    CloseHandle(held);
    Report(SERVICE_STOPPED);
}
} // namespace

int main()
{
    g_acceptsStop = !wcsstr(GetCommandLineW(), L"--no-stop");
    g_stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t anyName[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{anyName, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
