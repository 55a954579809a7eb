#pragma once
#include "FaultInjection.h"
#include <windows.h>
#include <deque>
#include <string>
#include <vector>

// FAKE_IMPORT for the service functions.
#define SCM_FAKE(injector, function, ...) FAKE_IMPORT(injector, "advapi32.dll", function, __VA_ARGS__)

// A scripted service control manager for the code under test: every service API the
// library imports (and MessageBoxW) is replaced while it lives; one service, "Fake Service",
// stands behind every name. Each QueryServiceStatus answers the next entry of `statuses`
// (the last one repeats); ControlService answers the next entry without taking it, and
// QueryServiceConfigW gives that entry's service type. Error lists answer successive calls
// of their function with the listed codes (0 = success), then success. The message box
// records its caption and answers Retry `retries` times, then Cancel.
class CFakeScm
{
  public:
    explicit CFakeScm(CFaultInjector& injector);
    CFakeScm(const CFakeScm&) = delete;
    CFakeScm& operator=(const CFakeScm&) = delete;

    static SERVICE_STATUS Status(DWORD state, DWORD waitHint = 0, DWORD type = SERVICE_WIN32_OWN_PROCESS)
    {
        const DWORD accepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
        return {type, state, accepted, NO_ERROR, 0, 0, waitHint};
    }

    std::deque<SERVICE_STATUS> statuses{Status(SERVICE_STOPPED)};
    std::deque<DWORD> startErrors, controlErrors, deleteErrors, createErrors, lockErrors;
    int startCalls = 0, controlCalls = 0, deleteCalls = 0, createCalls = 0, lockCalls = 0, unlockCalls = 0;
    int retries = 0;
    std::vector<std::wstring> captions;
};
