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

CServiceHandle OpenTestService(const std::wstring& name, DWORD access)
{
    return CServiceHandle(OpenServiceW(OpenScm().Get(), name.c_str(), access));
}

// Waits on the real clock until the service reaches state.
bool WaitForState(const std::wstring& name, DWORD state, DWORD timeoutMs)
{
    for (const ULONGLONG end = GetTickCount64() + timeoutMs; ServiceState(name) != state; Sleep(20))
    {
        if (GetTickCount64() > end)
            return false;
    }
    return true;
}
} // namespace

DWORD ServiceState(const std::wstring& name)
{
    const CServiceHandle service = OpenTestService(name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    return service && QueryServiceStatus(service.Get(), &status) ? status.dwCurrentState : 0;
}

void RemoveService(const std::wstring& name)
{
    if (const CServiceHandle service = OpenTestService(name, SERVICE_ALL_ACCESS))
    {
        SERVICE_STATUS_PROCESS status{};
        SERVICE_STATUS stopping{};
        DWORD needed = 0;
        QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof(status), &needed);
        // Wine does not notice an ended service process in its status; the deletion below
        // still removes the service once every handle is closed.
        if (status.dwCurrentState != SERVICE_STOPPED &&
            !(ControlService(service.Get(), SERVICE_CONTROL_STOP, &stopping) &&
              WaitForState(name, SERVICE_STOPPED, 10000)))
        {
            const CKernelHandle process(
                OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
            TerminateProcess(process.Get(), 1);
            WaitForSingleObject(process.Get(), 5000);
        }
        DeleteService(service.Get());
    }
    WaitForState(name, 0, 5000);
}

void LetServicesRun(DWORD virtualMs)
{
    Sleep(virtualMs / 20);
}

CTestService::CTestService(const std::wstring& name, const std::wstring& options, DWORD startType)
    : m_name(name)
{
    RemoveService(name);
    const std::wstring binaryPath = L"\"" + BinPath(L"TestService.exe") + L"\" " + options;
    const CServiceHandle service(CreateServiceW(
        OpenScm().Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, startType,
        SERVICE_ERROR_IGNORE, binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(service) << "registering " << Narrow(name) << ": error " << GetLastError();
}

bool CTestService::Start()
{
    return StartServiceW(OpenTestService(m_name, SERVICE_START).Get(), 0, nullptr) &&
           WaitForState(m_name, SERVICE_RUNNING, 15000);
}
