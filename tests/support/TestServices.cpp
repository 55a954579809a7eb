#include "TestServices.h"
#include "TestFiles.h"
#include "util/CUniqueHandle.h"
#include <gtest/gtest.h>

namespace
{
CServiceHandle OpenScm()
{
    return CServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

CServiceHandle OpenTestService(const CServiceHandle& scm, const std::wstring& name, DWORD access)
{
    return CServiceHandle(scm ? OpenServiceW(scm.Get(), name.c_str(), access) : nullptr);
}

bool QueryProcessStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed) != FALSE;
}

void EndServiceProcess(DWORD processId)
{
    CKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (process)
    {
        TerminateProcess(process.Get(), 1);
        WaitForSingleObject(process.Get(), 5000);
    }
}
} // namespace

CTestService::CTestService(const std::wstring& name, const std::wstring& options, DWORD startType,
                           const std::vector<std::wstring>& dependencies)
    : m_name(name)
{
    RemoveService(name);
    const std::wstring binaryPath = L"\"" + BinPath(L"TestService.exe") + L"\" " + options;
    std::wstring dependencyList;
    for (const auto& dependency : dependencies)
    {
        dependencyList += dependency;
        dependencyList.push_back(L'\0');
    }
    dependencyList.push_back(L'\0');
    CServiceHandle scm = OpenScm();
    CServiceHandle service(CreateServiceW(scm.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_IGNORE,
                                          binaryPath.c_str(), nullptr, nullptr, dependencyList.c_str(),
                                          nullptr, nullptr));
    EXPECT_TRUE(service) << "registering " << Narrow(name) << ": error " << GetLastError();
}

CTestService::~CTestService()
{
    RemoveService(m_name);
}

bool CTestService::Start()
{
    {
        CServiceHandle scm = OpenScm();
        CServiceHandle service = OpenTestService(scm, m_name, SERVICE_START);
        if (!service || !StartServiceW(service.Get(), 0, nullptr))
        {
            return false;
        }
    }
    return WaitForServiceState(m_name, SERVICE_RUNNING);
}

DWORD ServiceState(const std::wstring& name)
{
    CServiceHandle scm = OpenScm();
    CServiceHandle service = OpenTestService(scm, name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    if (!service || !QueryServiceStatus(service.Get(), &status))
    {
        return 0;
    }
    return status.dwCurrentState;
}

bool WaitForServiceState(const std::wstring& name, DWORD state, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (ServiceState(name) != state)
    {
        if (GetTickCount64() > end)
        {
            return false;
        }
        Sleep(20);
    }
    return true;
}

bool ServiceExists(const std::wstring& name)
{
    CServiceHandle scm = OpenScm();
    CServiceHandle service = OpenTestService(scm, name, SERVICE_QUERY_STATUS);
    return service.IsValid();
}

void RemoveService(const std::wstring& name)
{
    {
        CServiceHandle scm = OpenScm();
        CServiceHandle service = OpenTestService(scm, name, SERVICE_ALL_ACCESS);
        if (!service)
        {
            return;
        }
        SERVICE_STATUS_PROCESS status{};
        if (QueryProcessStatus(service.Get(), status) && status.dwCurrentState != SERVICE_STOPPED)
        {
            SERVICE_STATUS stopStatus{};
            const bool stopSent = (status.dwControlsAccepted & SERVICE_ACCEPT_STOP) &&
                                  ControlService(service.Get(), SERVICE_CONTROL_STOP, &stopStatus);
            // Wine does not notice an ended service process in its status; the deletion
            // below still removes the service once every handle is closed.
            if (!stopSent || !WaitForServiceState(name, SERVICE_STOPPED, 10000))
            {
                EndServiceProcess(status.dwProcessId);
            }
        }
        DeleteService(service.Get());
    }
    const ULONGLONG end = GetTickCount64() + 5000;
    while (ServiceExists(name) && GetTickCount64() < end)
    {
        Sleep(20);
    }
}

void LetServicesRun(DWORD virtualMs)
{
    Sleep(virtualMs / 20);
}
