#pragma once
#include "service/DependentList.h"
#include "util/CUniqueHandle.h"
#include <windows.h>
#include <winsvc.h>
#include <memory>
#include <string>

// Tag of the service manager's trace lines.
#define SVC_TAG L"\nCServiceMgr         : "

struct ServiceConfigDeleter
{
    void operator()(QUERY_SERVICE_CONFIGW* config) const { delete[] reinterpret_cast<BYTE*>(config); }
};
// A QUERY_SERVICE_CONFIGW block with its strings, owned by whoever asked for it.
using ServiceConfig = std::unique_ptr<QUERY_SERVICE_CONFIGW, ServiceConfigDeleter>;

// The library's wrapper over the service control manager: starts, stops, creates and
// deletes services and waits for them. A change of state is requested and then polled
// for; an operation that meets a locked database waits and tries again; a deletion is
// trusted only once the service's registry key is gone.
//
// Users keep it on the stack: OpenDatabase, any operations, CloseDatabase. The database
// is also closed when the object goes.
class CServiceMgr
{
  public:
    // The owner window that means "no window": the locked-database question is never asked.
    static HWND NoOwnerWindow() { return reinterpret_cast<HWND>(INVALID_HANDLE_VALUE); }

    explicit CServiceMgr(SC_HANDLE database = nullptr, HWND ownerWindow = NoOwnerWindow());
    ~CServiceMgr();
    CServiceMgr(const CServiceMgr&) = delete;
    CServiceMgr& operator=(const CServiceMgr&) = delete;

    DWORD OpenDatabase();
    DWORD CloseDatabase();
    bool IsOpen() const { return m_database.IsValid(); }
    SC_HANDLE Database() const { return m_database.Get(); }

    // An auto-start kernel-driver service. 0xFFFFFFFF without a database; any other result
    // is also left as the thread's last error (1073 when the service exists).
    DWORD CreateSvc(const wchar_t* name, const wchar_t* binaryPath, const wchar_t* displayName);
    // Starts the service and waits until it runs; then, when asked, its inactive dependents
    // (last to first). 1 for a disabled service, 0 for a null or empty name.
    DWORD StartSvc(const wchar_t* name, DWORD argumentCount, const wchar_t** arguments, bool startDependents,
                   DWORD timeoutMs);
    // Stops, when asked, the active dependents first (first to last), then the service,
    // and waits until it has stopped and settled.
    DWORD StopSvc(const wchar_t* name, bool stopDependents, DWORD timeoutMs);
    // Stops and deletes the service and watches the registry until its key is gone. 1052:
    // the service refused to stop but is marked for deletion; 1072: it stays marked.
    DWORD DelSvc(const wchar_t* name);
    bool IsRegistered(const wchar_t* name);
    // stateFilter: SERVICE_ACTIVE or SERVICE_INACTIVE.
    DependentList GetDependents(const wchar_t* name, DWORD stateFilter);

    // name: the service's, for the progress report.
    bool StartAndWait(SC_HANDLE service, const wchar_t* name, DWORD argumentCount, const wchar_t** arguments,
                      DWORD timeoutMs);
    bool StopAndWait(SC_HANDLE service, const wchar_t* name, DWORD timeoutMs);
    ServiceConfig QueryConfig(SC_HANDLE service);

    // SYSTEM\CurrentControlSet\Services\<name>, below HKEY_LOCAL_MACHINE.
    static std::wstring ServiceKeyPath(const wchar_t* name);

    static constexpr DWORD kDefaultTimeoutMs = 120000;

  private:
    template <class Attempt>
    DWORD RetryWhileLocked(const wchar_t* verb, const wchar_t* name, const wchar_t* displayName,
                           Attempt&& attempt);
    bool AskToRetryLocked(const wchar_t* verb, const wchar_t* name, const wchar_t* displayName);
    bool WaitWhilePending(SC_HANDLE service, const wchar_t* name, SERVICE_STATUS& status, DWORD pendingState,
                          ULONGLONG startTick, DWORD timeoutMs);
    DWORD StopAndDelete(SC_HANDLE service, const wchar_t* name);
    DWORD WatchDeletion(const wchar_t* name);

    CServiceHandle m_database;
    HWND m_ownerWindow;
};
