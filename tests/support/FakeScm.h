#pragma once
#include "FaultInjection.h"
#include <windows.h>
#include <deque>
#include <string>
#include <vector>

// A scripted service control manager for the code under test: every service API the
// library imports (and MessageBoxW) is replaced while it lives, so that locked databases,
// services that never finish starting, odd wait hints and refused controls can be played
// exactly. One service stands behind every name.
//
// Statuses: each QueryServiceStatus answers the next entry of `statuses` (the last one
// repeats). A successful StartServiceW or ControlService replaces the script with
// `afterStart` / `afterControl` when those are given. Error lists answer successive calls
// of their function with the listed codes (0 = success), then success.
class CFakeScm
{
  public:
    explicit CFakeScm(CFaultInjector& injector);
    ~CFakeScm();
    CFakeScm(const CFakeScm&) = delete;
    CFakeScm& operator=(const CFakeScm&) = delete;

    static SERVICE_STATUS Status(DWORD state, DWORD waitHint = 0, DWORD controlsAccepted = 0,
                                 DWORD serviceType = SERVICE_WIN32_OWN_PROCESS);

    std::deque<SERVICE_STATUS> statuses{Status(SERVICE_STOPPED)};
    std::deque<SERVICE_STATUS> afterStart;
    std::deque<SERVICE_STATUS> afterControl;
    SERVICE_STATUS controlStatus = Status(SERVICE_STOP_PENDING);
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_DEMAND_START;
    std::wstring displayName = L"Fake Service";
    int messageBoxAnswer = IDCANCEL;
    std::vector<int> messageBoxAnswers; // answered first, then messageBoxAnswer

    std::deque<DWORD> startErrors, controlErrors, deleteErrors, createErrors, lockErrors;

    int startCalls = 0, controlCalls = 0, deleteCalls = 0, createCalls = 0, lockCalls = 0, unlockCalls = 0;
    std::vector<std::wstring> messageBoxCaptions;
    std::vector<std::wstring> messageBoxTexts;
    std::vector<UINT> messageBoxFlags;
    std::vector<HWND> messageBoxOwners;
};
