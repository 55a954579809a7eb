#include "ChildProcess.h"
#include "util/CUniqueHandle.h"

DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs, const std::function<void()>& meanwhile,
                 HANDLE output, HANDLE errors, DWORD flags)
{
    std::wstring line = commandLine; // CreateProcessW may write to it
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    const bool redirected = output || errors;
    startup.dwFlags = redirected ? STARTF_USESTDHANDLES : 0;
    startup.hStdOutput = output, startup.hStdError = errors;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, redirected, flags, nullptr, nullptr, &startup,
                        &process))
        return 0xFFFFFFFF;
    const CKernelHandle thread(process.hThread), child(process.hProcess);
    if (meanwhile)
        meanwhile();
    DWORD exitCode = 0xFFFFFFFF;
    if (WaitForSingleObject(child.Get(), timeoutMs) != WAIT_OBJECT_0)
        TerminateProcess(child.Get(), exitCode);
    else
        GetExitCodeProcess(child.Get(), &exitCode);
    return exitCode;
}
