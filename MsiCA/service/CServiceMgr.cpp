#include "service/CServiceMgr.h"
#include "trace/CTrace.h"
#include "util/CProgressReport.h"
#include "util/CRegistryKey.h"
#include <new>
#include <strsafe.h>

#define DELSVC_TAG L"\nCServiceMgr (DelSvc): "

namespace
{
constexpr DWORD kLockedAttemptsPerSeries = 10;
constexpr DWORD kLockedRetryDelayMs = 2000;
constexpr DWORD kMinPollMs = 1000;
constexpr DWORD kMaxPollMs = 10000;
constexpr DWORD kDriverSettleMs = 3000;
constexpr DWORD kProcessSettleMs = 5000;
constexpr DWORD kDriverTypes = SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER | SERVICE_RECOGNIZER_DRIVER;
constexpr int kDeletionWatchRounds = 20;
constexpr DWORD kDeletionWatchDelayMs = 100;
constexpr DWORD kConfigBlockStep = 512;
// QueryServiceConfigW never needs more than 8 KB; a block this large means a broken answer.
constexpr DWORD kConfigBlockLimit = 64 * 1024;
constexpr DWORD kDisplayNameChars = MAX_PATH;
constexpr DWORD kCaptionChars = 100;

const wchar_t* const kDatabaseName = L"default";
const wchar_t* const kMachineName = L"local system";

const wchar_t* StateName(DWORD state)
{
    switch (state)
    {
    case SERVICE_STOPPED:
        return L"stopped";
    case SERVICE_START_PENDING:
        return L"starting";
    case SERVICE_STOP_PENDING:
        return L"stop pending";
    case SERVICE_RUNNING:
        return L"running";
    case SERVICE_PAUSED:
        return L"paused";
    default:
        return L"unknown";
    }
}

// A wait that ends without a failing system call still leaves a code that says why, so
// that callers reading the last error never take it for success.
bool FailWith(DWORD error)
{
    SetLastError(error);
    return false;
}

// One poll interval: the service's own wait hint, kept between one and ten seconds.
void SleepForWaitHint(DWORD waitHint)
{
    TRACE(4, SVC_TAG L"Wait hint %d mseconds", waitHint);
    const DWORD ms = waitHint < kMinPollMs ? kMinPollMs : (waitHint > kMaxPollMs ? kMaxPollMs : waitHint);
    TRACE(4, SVC_TAG L"Sleep %d mseconds ...", ms);
    Sleep(ms);
}

// QueryServiceConfigW into a block that starts at initialBytes and grows by 512 bytes
// while the call asks for more; onFailure sees every failed call's error.
template <class OnFailure>
ServiceConfig ReadServiceConfig(SC_HANDLE service, DWORD initialBytes, OnFailure&& onFailure)
{
    for (DWORD bytes = initialBytes; bytes <= kConfigBlockLimit; bytes += kConfigBlockStep)
    {
        ServiceConfig config(reinterpret_cast<QUERY_SERVICE_CONFIGW*>(new (std::nothrow) BYTE[bytes]));
        if (!config)
        {
            return nullptr;
        }
        DWORD needed = 0;
        if (QueryServiceConfigW(service, config.get(), bytes, &needed))
        {
            return config;
        }
        const DWORD error = GetLastError();
        onFailure(error);
        if (error != ERROR_INSUFFICIENT_BUFFER)
        {
            return nullptr;
        }
    }
    return nullptr;
}

const wchar_t* TextOrEmpty(const wchar_t* text)
{
    return text ? text : L"";
}

// Handles appear in the trace as their low 32 bits.
DWORD HandleBits(SC_HANDLE handle)
{
    return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(handle));
}
} // namespace

CServiceMgr::CServiceMgr(SC_HANDLE database, HWND ownerWindow)
    : m_database(database), m_ownerWindow(ownerWindow)
{
}

CServiceMgr::~CServiceMgr()
{
    CloseDatabase();
}

DWORD CServiceMgr::OpenDatabase()
{
    TRACE(4, SVC_TAG L"Open service control manager database \"%s\" at \"%s\"...", kDatabaseName,
          kMachineName);
    m_database.Reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!m_database)
    {
        const DWORD error = GetLastError();
        TRACE(1, SVC_TAG L"ERROR 0x%X! Could NOT open service control manager database \"%s\" at \"%s\"!!",
              error, kDatabaseName, kMachineName);
        return error;
    }
    TRACE(4, SVC_TAG L"... open service control manager database returned handle 0x%X",
          HandleBits(m_database.Get()));
    return 0;
}

DWORD CServiceMgr::CloseDatabase()
{
    if (!m_database)
    {
        return 0;
    }
    if (!m_database.Reset())
    {
        const DWORD error = GetLastError();
        TRACE(1, SVC_TAG L"ERROR 0x%X! FAILED to close service control manager database!", error);
        return error;
    }
    TRACE(4, SVC_TAG L"Service control manager database successfully closed!");
    return 0;
}

// Runs attempt until it meets something other than a locked database. Each locked attempt
// costs a two-second sleep; after ten of them the owner window, if there is one, may ask
// for another series.
template <class Attempt>
DWORD CServiceMgr::RetryWhileLocked(const wchar_t* verb, const wchar_t* name, const wchar_t* displayName,
                                    Attempt&& attempt)
{
    for (;;)
    {
        for (DWORD attemptNumber = 0; attemptNumber < kLockedAttemptsPerSeries; ++attemptNumber)
        {
            const DWORD result = attempt();
            if (result != ERROR_SERVICE_DATABASE_LOCKED)
            {
                return result;
            }
            Sleep(kLockedRetryDelayMs);
        }
        if (m_ownerWindow == NoOwnerWindow() || !AskToRetryLocked(verb, name, displayName))
        {
            return ERROR_SERVICE_DATABASE_LOCKED;
        }
    }
}

bool CServiceMgr::AskToRetryLocked(const wchar_t* verb, const wchar_t* name, const wchar_t* displayName)
{
    wchar_t lookedUpName[kDisplayNameChars] = {};
    if (!displayName)
    {
        DWORD chars = kDisplayNameChars;
        displayName =
            GetServiceDisplayNameW(m_database.Get(), name, lookedUpName, &chars) ? lookedUpName : name;
    }
    wchar_t caption[kCaptionChars] = {};
    StringCchPrintfW(caption, kCaptionChars, L"%s service '%s' failed!", verb, TextOrEmpty(displayName));
    return MessageBoxW(m_ownerWindow,
                       L"The service database is locked! Close all(!) applications and press Retry!", caption,
                       MB_RETRYCANCEL | MB_ICONEXCLAMATION) == IDRETRY;
}

DWORD CServiceMgr::CreateSvc(const wchar_t* name, const wchar_t* binaryPath, const wchar_t* displayName)
{
    if (!m_database)
    {
        return 0xFFFFFFFF;
    }
    TRACE(4, SVC_TAG L"Create service %s ..", name);
    TRACE(4, SVC_TAG L"   Display name:  %s", displayName);
    TRACE(4, SVC_TAG L"   Bin path:      %s", binaryPath);
    TRACE(4, SVC_TAG L"   Start type:    %d", SERVICE_AUTO_START);
    TRACE(4, SVC_TAG L"   Error control: %d", SERVICE_ERROR_IGNORE);
    const DWORD result = RetryWhileLocked(L"Create", name, displayName, [&]() -> DWORD {
        CServiceHandle service(CreateServiceW(m_database.Get(), name, displayName, SERVICE_ALL_ACCESS,
                                              SERVICE_KERNEL_DRIVER, SERVICE_AUTO_START, SERVICE_ERROR_IGNORE,
                                              binaryPath, nullptr, nullptr, nullptr, nullptr, nullptr));
        const DWORD error = service ? 0 : GetLastError();
        TRACE(4, SVC_TAG L"CreateService() returned handle 0x%X ", HandleBits(service.Get()));
        if (error == ERROR_SERVICE_DATABASE_LOCKED)
        {
            TRACE(1, SVC_TAG L"ERROR Create service '%s' failed!", name);
            TRACE(4, SVC_TAG L"The service database is locked!");
        }
        else if (error != 0)
        {
            TRACE(4, SVC_TAG L"ERROR %d! Create service FAILED!", error);
        }
        return error;
    });
    TRACE(4, SVC_TAG L"CreateService finished (RetCode 0x%X)!", result);
    SetLastError(result);
    return result;
}

DWORD CServiceMgr::StartSvc(const wchar_t* name, DWORD argumentCount, const wchar_t** arguments,
                            bool startDependents, DWORD timeoutMs)
{
    TRACE(4, SVC_TAG L"Try to start \"%s\" service ...", TextOrEmpty(name));
    if (!m_database)
    {
        return ERROR_INVALID_HANDLE;
    }
    DWORD result = 0;
    if (name && *name)
    {
        CServiceHandle service(OpenServiceW(m_database.Get(), name,
                                            SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START));
        if (!service)
        {
            result = GetLastError();
        }
        else
        {
            const ServiceConfig config = QueryConfig(service.Get());
            if (config && config->dwStartType == SERVICE_DISABLED)
            {
                result = 1;
            }
            else
            {
                result = RetryWhileLocked(L"Start", name, nullptr, [&]() -> DWORD {
                    return StartAndWait(service.Get(), name, argumentCount, arguments, timeoutMs)
                               ? 0
                               : GetLastError();
                });
            }
        }
        if (result == 0 && startDependents)
        {
            const DependentList dependents = GetDependents(name, SERVICE_INACTIVE);
            for (DWORD index = dependents.Count(); index > 0; --index)
            {
                StartSvc(dependents[index - 1].lpServiceName, argumentCount, arguments, true, timeoutMs);
            }
        }
    }
    TRACE(4, SVC_TAG L".. start of service \"%s\" completed (RetCode 0x%X)!", TextOrEmpty(name), result);
    return result;
}

bool CServiceMgr::StartAndWait(SC_HANDLE service, const wchar_t* name, DWORD argumentCount,
                               const wchar_t** arguments, DWORD timeoutMs)
{
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status))
    {
        return false;
    }
    if (status.dwCurrentState == SERVICE_RUNNING)
    {
        return true;
    }
    TRACE(4, SVC_TAG L"Current state %d (!= SERVICE_RUNNING)", status.dwCurrentState);
    if (!StartServiceW(service, argumentCount, arguments))
    {
        return false;
    }
    const ULONGLONG startTick = GetTickCount64();
    if (!WaitWhilePending(service, name, status, SERVICE_START_PENDING, startTick, timeoutMs))
    {
        return false;
    }
    TRACE(4, SVC_TAG L"OK! Service started!");
    if (status.dwCurrentState != SERVICE_RUNNING)
    {
        return FailWith(status.dwWin32ExitCode != NO_ERROR ? status.dwWin32ExitCode
                                                           : ERROR_SERVICE_NOT_ACTIVE);
    }
    return true;
}

DWORD CServiceMgr::StopSvc(const wchar_t* name, bool stopDependents, DWORD timeoutMs)
{
    if (!name)
    {
        return ERROR_BAD_ARGUMENTS;
    }
    TRACE(4, SVC_TAG L"Stop service \"%s\"", name);
    if (!m_database)
    {
        return ERROR_INVALID_HANDLE;
    }
    if (stopDependents)
    {
        const DependentList dependents = GetDependents(name, SERVICE_ACTIVE);
        for (DWORD index = 0; index < dependents.Count(); ++index)
        {
            StopSvc(dependents[index].lpServiceName, true, timeoutMs);
        }
    }
    DWORD result = 0;
    {
        CServiceHandle service(
            OpenServiceW(m_database.Get(), name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_STOP));
        if (!service)
        {
            result = GetLastError();
        }
        else
        {
            result = RetryWhileLocked(L"Stop", name, nullptr, [&]() -> DWORD {
                return StopAndWait(service.Get(), name, timeoutMs) ? 0 : GetLastError();
            });
        }
    }
    TRACE(4, SVC_TAG L"Stop service \"%s\" (RetCode 0x%X)", name, result);
    return result;
}

bool CServiceMgr::StopAndWait(SC_HANDLE service, const wchar_t* name, DWORD timeoutMs)
{
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status))
    {
        return false;
    }
    TRACE(4, SVC_TAG L"Current state: %d: (%s)", status.dwCurrentState, StateName(status.dwCurrentState));
    if (status.dwCurrentState == SERVICE_STOPPED)
    {
        return true;
    }
    if (!(status.dwControlsAccepted & SERVICE_ACCEPT_STOP))
    {
        return FailWith(ERROR_INVALID_SERVICE_CONTROL);
    }
    DWORD serviceType = 0;
    if (const ServiceConfig config = QueryConfig(service))
    {
        serviceType = config->dwServiceType;
    }
    TRACE(4, SVC_TAG L"Service (type 0x%X) accepts STOP control - try to stop service now ...", serviceType);
    const ULONGLONG startTick = GetTickCount64();
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status))
    {
        TRACE(1, SVC_TAG L"ERROR 0x%X! ControlService FAILED!", GetLastError());
        return status.dwCurrentState == SERVICE_STOPPED;
    }
    if (!WaitWhilePending(service, name, status, SERVICE_STOP_PENDING, startTick, timeoutMs))
    {
        return false;
    }
    TRACE(4, SVC_TAG L"OK! Service signaled status \"stopped\"!");
    if (status.dwCurrentState != SERVICE_STOPPED)
    {
        return FailWith(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    }
    // A stopped driver still has to unload and a stopped process to exit before its files
    // are free.
    const DWORD settleMs = (serviceType & kDriverTypes) ? kDriverSettleMs : kProcessSettleMs;
    TRACE(4, SVC_TAG L"Waiting additional %d seconds to unload driver or exit process ...", settleMs / 1000);
    Sleep(settleMs);
    TRACE(4, SVC_TAG L".. assume that handles are closed now!");
    return true;
}

// The one wait loop of starts and stops: sleeps for the wait hint of status (as read
// before the request), then polls while the service stays in pendingState, within
// timeoutMs of startTick. status holds the last state read. Progress is reported in seconds
// of the time-out; a wait is never cut short.
bool CServiceMgr::WaitWhilePending(SC_HANDLE service, const wchar_t* name, SERVICE_STATUS& status,
                                   DWORD pendingState, ULONGLONG startTick, DWORD timeoutMs)
{
    CProgressReport::Begin(name, timeoutMs / 1000);
    SleepForWaitHint(status.dwWaitHint);
    if (!QueryServiceStatus(service, &status))
    {
        return false;
    }
    while (status.dwCurrentState == pendingState)
    {
        SleepForWaitHint(status.dwWaitHint);
        const ULONGLONG elapsedMs = GetTickCount64() - startTick;
        CProgressReport::Advance(static_cast<DWORD>(elapsedMs / 1000), name);
        if (elapsedMs > timeoutMs)
        {
            TRACE(1, SVC_TAG L"ERROR! Timeout after %d seconds!", static_cast<DWORD>(elapsedMs / 1000));
            return FailWith(ERROR_SERVICE_REQUEST_TIMEOUT);
        }
        if (!QueryServiceStatus(service, &status))
        {
            return false;
        }
    }
    return true;
}

DWORD CServiceMgr::DelSvc(const wchar_t* name)
{
    TRACE(4, SVC_TAG L"Delete service \"%s\"", TextOrEmpty(name));
    DWORD result = ERROR_INVALID_HANDLE;
    if (m_database && !name)
    {
        result = ERROR_BAD_ARGUMENTS;
    }
    else if (m_database)
    {
        {
            CServiceHandle service(OpenServiceW(m_database.Get(), name, SERVICE_ALL_ACCESS));
            if (!service)
            {
                result = GetLastError();
                TRACE(1, SVC_TAG L"ERROR 0x%X! Service \"%s\" could not be opened!", result, name);
            }
            else
            {
                result = RetryWhileLocked(L"Delete", name, nullptr,
                                          [&]() -> DWORD { return StopAndDelete(service.Get(), name); });
                if (result == ERROR_SERVICE_MARKED_FOR_DELETE)
                {
                    TRACE(4, SVC_TAG L"ERROR! Service %s is already marked for deletion", name);
                }
            }
        }
        // The key goes only once the last handle to the service is closed.
        if (result == 0)
        {
            result = WatchDeletion(name);
        }
    }
    TRACE(4, DELSVC_TAG L"Delete service \"%s\" done (RetCode 0x%X)", TextOrEmpty(name), result);
    return result;
}

// One attempt of DelSvc: stop, then delete. A service that refuses the stop control is
// deleted anyway: it is then only marked and goes when it unloads (result 1052).
DWORD CServiceMgr::StopAndDelete(SC_HANDLE service, const wchar_t* name)
{
    DWORD error = 0;
    if (StopAndWait(service, name, kDefaultTimeoutMs))
    {
        TRACE(4, SVC_TAG L"Service \"%s\"  sucessfully stopped - delete service now!", name);
        if (DeleteService(service))
        {
            TRACE(4, SVC_TAG L"Service \"%s\"  sucessfully deleted!", name);
            return 0;
        }
    }
    error = GetLastError();
    if (error == ERROR_INVALID_SERVICE_CONTROL)
    {
        TRACE(4, SVC_TAG L"WARNING! Stop service %s failed! Delete service now!", name);
        if (DeleteService(service))
        {
            return ERROR_INVALID_SERVICE_CONTROL;
        }
        error = GetLastError();
    }
    return error;
}

DWORD CServiceMgr::WatchDeletion(const wchar_t* name)
{
    const std::wstring keyPath = ServiceKeyPath(name);
    bool stillMarked = false;
    for (int round = 0; round < kDeletionWatchRounds; ++round)
    {
        TRACE(4, DELSVC_TAG L"  check registry whether service is finally deleted (retry #%d)...", round);
        CRegistryKey key;
        if (key.Open(keyPath.c_str(), KEY_READ) != ERROR_SUCCESS)
        {
            TRACE(4, DELSVC_TAG L"    registry key for service no longer existing, service deleted");
            return 0;
        }
        DWORD deleteFlag = 0;
        stillMarked = key.QueryDword(deleteFlag, L"DeleteFlag") == ERROR_SUCCESS;
        if (stillMarked)
        {
            TRACE(4, DELSVC_TAG L"    service still marked for deletion");
        }
        else
        {
            TRACE(1,
                  SVC_TAG L"## ERROR! Service still existing but not marked for deletion after deleting it "
                          L"(something wrong here)!\n");
        }
        key.Close();
        Sleep(kDeletionWatchDelayMs);
    }
    if (stillMarked)
    {
        TRACE(1, SVC_TAG L"## ERROR! Service could not be deleted (still marked for deletion)!\n");
        return ERROR_SERVICE_MARKED_FOR_DELETE;
    }
    return 0;
}

bool CServiceMgr::IsRegistered(const wchar_t* name)
{
    if (!m_database)
    {
        TRACE(1, SVC_TAG L"ERROR! Service control manager not opened!");
        return false;
    }
    CServiceHandle service(OpenServiceW(m_database.Get(), name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service)
    {
        TRACE(4, SVC_TAG L"WARNING! OpenService() \"%s\" failed (ErrorCode 0x%X)!", TextOrEmpty(name),
              GetLastError());
        return false;
    }
    const ServiceConfig config = ReadServiceConfig(service.Get(), 2 * kConfigBlockStep, [&](DWORD error) {
        TRACE(1, SVC_TAG L"ERROR! QueryServiceConfig \"%s\" FAILED (ErrorCode 0x%X)", name, error);
    });
    if (!config)
    {
        return false;
    }
    TRACE(4, SVC_TAG L"QueryServiceConfig for \"%s\" OK", name);
    SERVICE_STATUS status{};
    return QueryServiceStatus(service.Get(), &status) != FALSE;
}

DependentList CServiceMgr::GetDependents(const wchar_t* name, DWORD stateFilter)
{
    if (!m_database)
    {
        TRACE(1, SVC_TAG L"ERROR! Service control manager not opened!");
        return {};
    }
    CServiceHandle service(
        OpenServiceW(m_database.Get(), name, SERVICE_ENUMERATE_DEPENDENTS | SERVICE_QUERY_STATUS));
    if (!service)
    {
        return {};
    }
    DWORD needed = 0;
    DWORD count = 0;
    if (EnumDependentServicesW(service.Get(), stateFilter, nullptr, 0, &needed, &count) ||
        GetLastError() != ERROR_MORE_DATA)
    {
        return {};
    }
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[needed]);
    if (!block || !EnumDependentServicesW(service.Get(), stateFilter,
                                          reinterpret_cast<ENUM_SERVICE_STATUSW*>(block.get()), needed,
                                          &needed, &count))
    {
        return {};
    }
    return DependentList(std::move(block), count);
}

std::wstring CServiceMgr::ServiceKeyPath(const wchar_t* name)
{
    return std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + TextOrEmpty(name);
}

ServiceConfig CServiceMgr::QueryConfig(SC_HANDLE service)
{
    return ReadServiceConfig(service, kConfigBlockStep, [](DWORD) {});
}
