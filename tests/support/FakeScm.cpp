#include "FakeScm.h"
#include <strsafe.h>

namespace
{
CFakeScm* g_scm = nullptr;
const SC_HANDLE kHandle = reinterpret_cast<SC_HANDLE>(0x5C0001);
wchar_t g_emptyText[] = L"";

// Counts the call and answers it with the next scripted error, left as last error.
BOOL Answer(int& calls, std::deque<DWORD>& errors)
{
    ++calls;
    DWORD error = 0;
    if (!errors.empty())
    {
        error = errors.front();
        errors.pop_front();
    }
    SetLastError(error);
    return error == 0;
}
} // namespace

CFakeScm::CFakeScm(CFaultInjector& injector)
{
    g_scm = this;
    SCM_FAKE(injector, OpenSCManagerW, [](auto...) { return kHandle; });
    SCM_FAKE(injector, OpenServiceW, [](auto...) { return kHandle; });
    SCM_FAKE(injector, CloseServiceHandle, [](auto...) { return TRUE; });
    SCM_FAKE(injector, QueryServiceStatus, [](SC_HANDLE, LPSERVICE_STATUS status) {
        *status = g_scm->statuses.front();
        if (g_scm->statuses.size() > 1)
            g_scm->statuses.pop_front();
        return TRUE;
    });
    // The library's first block (512 bytes) always holds this answer.
    SCM_FAKE(injector, QueryServiceConfigW, [](SC_HANDLE, LPQUERY_SERVICE_CONFIGW config, DWORD, LPDWORD) {
        *config = QUERY_SERVICE_CONFIGW{};
        config->dwServiceType = g_scm->statuses.front().dwServiceType;
        config->lpBinaryPathName = config->lpLoadOrderGroup = config->lpDependencies = g_emptyText;
        config->lpServiceStartName = config->lpDisplayName = g_emptyText;
        return TRUE;
    });
    SCM_FAKE(injector, StartServiceW, [](auto...) { return Answer(g_scm->startCalls, g_scm->startErrors); });
    SCM_FAKE(injector, ControlService, [](SC_HANDLE, DWORD, LPSERVICE_STATUS status) {
        const BOOL sent = Answer(g_scm->controlCalls, g_scm->controlErrors);
        if (sent)
            *status = g_scm->statuses.front();
        return sent;
    });
    SCM_FAKE(injector, DeleteService,
             [](auto...) { return Answer(g_scm->deleteCalls, g_scm->deleteErrors); });
    SCM_FAKE(injector, CreateServiceW,
             [](auto...) { return Answer(g_scm->createCalls, g_scm->createErrors) ? kHandle : nullptr; });
    SCM_FAKE(injector, EnumDependentServicesW,
             [](SC_HANDLE, DWORD, LPENUM_SERVICE_STATUSW, DWORD, LPDWORD needed, LPDWORD count) {
                 *needed = *count = 0;
                 return TRUE;
             });
    SCM_FAKE(injector, GetServiceDisplayNameW, [](SC_HANDLE, LPCWSTR, LPWSTR name, LPDWORD chars) -> BOOL {
        return SUCCEEDED(StringCchCopyW(name, *chars, L"Fake Service"));
    });
    SCM_FAKE(injector, LockServiceDatabase, [](auto...) {
        return Answer(g_scm->lockCalls, g_scm->lockErrors) ? reinterpret_cast<SC_LOCK>(kHandle) : nullptr;
    });
    SCM_FAKE(injector, UnlockServiceDatabase, [](auto...) {
        ++g_scm->unlockCalls;
        return TRUE;
    });
    FAKE_IMPORT(injector, "user32.dll", MessageBoxW, [](HWND, LPCWSTR, LPCWSTR caption, UINT) {
        g_scm->captions.push_back(caption);
        return g_scm->retries-- > 0 ? IDRETRY : IDCANCEL;
    });
}
