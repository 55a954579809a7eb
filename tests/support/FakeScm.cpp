#include "FakeScm.h"
#include <gtest/gtest.h>

namespace
{
CFakeScm* g_scm = nullptr;
const SC_HANDLE kDatabase = reinterpret_cast<SC_HANDLE>(0x5C0001);
const SC_HANDLE kService = reinterpret_cast<SC_HANDLE>(0x5C0002);
const SC_LOCK kLock = reinterpret_cast<SC_LOCK>(0x5C0003);
wchar_t g_emptyText[] = L"";

// The next scripted error of a call (0 once the list is used up); sets it as last error.
bool Succeeds(std::deque<DWORD>& errors)
{
    DWORD error = 0;
    if (!errors.empty())
    {
        error = errors.front();
        errors.pop_front();
    }
    SetLastError(error);
    return error == 0;
}

SC_HANDLE WINAPI FakeOpenSCManagerW(LPCWSTR, LPCWSTR, DWORD)
{
    return kDatabase;
}

SC_HANDLE WINAPI FakeOpenServiceW(SC_HANDLE, LPCWSTR, DWORD)
{
    return kService;
}

BOOL WINAPI FakeCloseServiceHandle(SC_HANDLE handle)
{
    EXPECT_TRUE(handle == kDatabase || handle == kService);
    return TRUE;
}

BOOL WINAPI FakeQueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS status)
{
    *status = g_scm->statuses.front();
    if (g_scm->statuses.size() > 1)
    {
        g_scm->statuses.pop_front();
    }
    return TRUE;
}

BOOL WINAPI FakeQueryServiceConfigW(SC_HANDLE, LPQUERY_SERVICE_CONFIGW config, DWORD bytes, LPDWORD needed)
{
    if (bytes < sizeof(QUERY_SERVICE_CONFIGW))
    {
        *needed = sizeof(QUERY_SERVICE_CONFIGW);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    *config = QUERY_SERVICE_CONFIGW{};
    config->dwServiceType = g_scm->serviceType;
    config->dwStartType = g_scm->startType;
    config->lpBinaryPathName = config->lpLoadOrderGroup = config->lpDependencies = g_emptyText;
    config->lpServiceStartName = config->lpDisplayName = g_emptyText;
    return TRUE;
}

BOOL WINAPI FakeStartServiceW(SC_HANDLE, DWORD, LPCWSTR*)
{
    ++g_scm->startCalls;
    if (!Succeeds(g_scm->startErrors))
    {
        return FALSE;
    }
    if (!g_scm->afterStart.empty())
    {
        g_scm->statuses = g_scm->afterStart;
    }
    return TRUE;
}

BOOL WINAPI FakeControlService(SC_HANDLE, DWORD control, LPSERVICE_STATUS status)
{
    EXPECT_EQ(static_cast<DWORD>(SERVICE_CONTROL_STOP), control);
    ++g_scm->controlCalls;
    if (!Succeeds(g_scm->controlErrors))
    {
        return FALSE;
    }
    *status = g_scm->controlStatus;
    if (!g_scm->afterControl.empty())
    {
        g_scm->statuses = g_scm->afterControl;
    }
    return TRUE;
}

BOOL WINAPI FakeDeleteService(SC_HANDLE)
{
    ++g_scm->deleteCalls;
    return Succeeds(g_scm->deleteErrors);
}

SC_HANDLE WINAPI FakeCreateServiceW(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR,
                                    LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR)
{
    ++g_scm->createCalls;
    return Succeeds(g_scm->createErrors) ? kService : nullptr;
}

BOOL WINAPI FakeEnumDependentServicesW(SC_HANDLE, DWORD, LPENUM_SERVICE_STATUSW, DWORD, LPDWORD needed,
                                       LPDWORD count)
{
    *needed = 0;
    *count = 0;
    return TRUE;
}

BOOL WINAPI FakeGetServiceDisplayNameW(SC_HANDLE, LPCWSTR, LPWSTR buffer, LPDWORD chars)
{
    if (*chars <= g_scm->displayName.size())
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    wcscpy(buffer, g_scm->displayName.c_str());
    return TRUE;
}

SC_LOCK WINAPI FakeLockServiceDatabase(SC_HANDLE)
{
    ++g_scm->lockCalls;
    return Succeeds(g_scm->lockErrors) ? kLock : nullptr;
}

BOOL WINAPI FakeUnlockServiceDatabase(SC_LOCK lock)
{
    EXPECT_EQ(kLock, lock);
    ++g_scm->unlockCalls;
    return TRUE;
}

int WINAPI FakeMessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT flags)
{
    g_scm->messageBoxOwners.push_back(owner);
    g_scm->messageBoxTexts.push_back(text);
    g_scm->messageBoxCaptions.push_back(caption);
    g_scm->messageBoxFlags.push_back(flags);
    const size_t asked = g_scm->messageBoxCaptions.size();
    return asked <= g_scm->messageBoxAnswers.size() ? g_scm->messageBoxAnswers[asked - 1]
                                                    : g_scm->messageBoxAnswer;
}
} // namespace

CFakeScm::CFakeScm(CFaultInjector& injector)
{
    g_scm = this;
    injector.Replace("advapi32.dll", "OpenSCManagerW", &FakeOpenSCManagerW);
    injector.Replace("advapi32.dll", "OpenServiceW", &FakeOpenServiceW);
    injector.Replace("advapi32.dll", "CloseServiceHandle", &FakeCloseServiceHandle);
    injector.Replace("advapi32.dll", "QueryServiceStatus", &FakeQueryServiceStatus);
    injector.Replace("advapi32.dll", "QueryServiceConfigW", &FakeQueryServiceConfigW);
    injector.Replace("advapi32.dll", "StartServiceW", &FakeStartServiceW);
    injector.Replace("advapi32.dll", "ControlService", &FakeControlService);
    injector.Replace("advapi32.dll", "DeleteService", &FakeDeleteService);
    injector.Replace("advapi32.dll", "CreateServiceW", &FakeCreateServiceW);
    injector.Replace("advapi32.dll", "EnumDependentServicesW", &FakeEnumDependentServicesW);
    injector.Replace("advapi32.dll", "GetServiceDisplayNameW", &FakeGetServiceDisplayNameW);
    injector.Replace("advapi32.dll", "LockServiceDatabase", &FakeLockServiceDatabase);
    injector.Replace("advapi32.dll", "UnlockServiceDatabase", &FakeUnlockServiceDatabase);
    injector.Replace("user32.dll", "MessageBoxW", &FakeMessageBoxW);
}

CFakeScm::~CFakeScm()
{
    g_scm = nullptr;
}

SERVICE_STATUS CFakeScm::Status(DWORD state, DWORD waitHint, DWORD controlsAccepted, DWORD serviceType)
{
    SERVICE_STATUS status{};
    status.dwServiceType = serviceType;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controlsAccepted;
    status.dwWaitHint = waitHint;
    return status;
}
