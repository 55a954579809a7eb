#include "CollectCommand.h"
#include "CCabinet.h"
#include "CTraceReader.h"
#include "ErrorText.h"
#include "InspectCommand.h"
#include "TraceCommand.h"
#include "TraceFileText.h"
#include "trace/CTrace.h"
#include "util/CProtectedAccess.h"
#include "util/CUniqueHandle.h"
#include "util/PathJoin.h"
#include "util/ProductLocations.h"
#include <algorithm>
#include <memory>

namespace
{
constexpr size_t kLogsPerFolder = 5; // the installer's logs of the last installations
constexpr DWORD kExportTimeoutMs = 60000;
const wchar_t* const kServiceKeys[] = {L"SntSvc", L"ImbDrvNT", L"Halb", L"Halb2", L"Halb3"};

// The cabinet's files and the list of what could not be read.
struct CBundle
{
    CCabinet cabinet;
    size_t files = 0;
    std::wstring missing;

    void Add(const std::string& name, std::string bytes)
    {
        cabinet.Add(name, std::move(bytes));
        ++files;
    }
    void Miss(const std::wstring& what, const std::wstring& why) { missing += what + L": " + why + L"\r\n"; }
    // A file as it is; false when it cannot be read.
    bool AddFile(const std::string& name, const std::wstring& path, bool missingCounts = true)
    {
        std::string bytes;
        TraceFileState state;
        const DWORD error = ReadFileFrom(path, 0, bytes, state);
        if (error == ERROR_SUCCESS)
        {
            Add(name, std::move(bytes));
        }
        else if (missingCounts || error != ERROR_FILE_NOT_FOUND)
        {
            Miss(path, ErrorText(error));
        }
        return error == ERROR_SUCCESS;
    }
};

// The trace file raw, its rotated file before it, and both as "read --rotated" prints them.
void AddTraceFiles(CBundle& bundle, const std::wstring& path)
{
    if (path.empty())
    {
        bundle.Miss(L"trace files", L"no trace file is configured");
        return;
    }
    std::wstring text, part;
    const bool rotated = bundle.AddFile("trace-raw-rotated.log", path + L".txt", false);
    if (rotated && CTraceReader(path + L".txt").Poll(part) == ERROR_SUCCESS)
    {
        text = part;
    }
    const bool newest = bundle.AddFile("trace-raw.log", path);
    if (newest && CTraceReader(path).Poll(part) == ERROR_SUCCESS)
    {
        text += part;
    }
    if (rotated || newest)
    {
        bundle.Add("trace.txt", Utf8(text));
    }
}

// The newest MSI*.LOG of the user's and the system's temporary folder.
void AddInstallerLogs(CBundle& bundle)
{
    std::wstring userTemp;
    GetTempDirectory(userTemp);
    wchar_t systemTemp[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%SystemRoot%\\Temp\\", systemTemp, MAX_PATH);
    const std::pair<std::wstring, std::string> folders[] = {{userTemp, "installer-logs\\user\\"},
                                                            {systemTemp, "installer-logs\\system\\"}};
    for (const auto& [folder, prefix] : folders)
    {
        if (&folder != &folders[0].first &&
            CompareStringOrdinal(folder.c_str(), -1, userTemp.c_str(), -1, TRUE) == CSTR_EQUAL)
        {
            continue; // running as LocalSystem: the same folder
        }
        std::vector<std::pair<ULONGLONG, std::wstring>> logs; // written, name
        WIN32_FIND_DATAW entry{};
        CFindHandle find(FindFirstFileW((folder + L"MSI*.LOG").c_str(), &entry));
        for (bool more = find.IsValid(); more; more = FindNextFileW(find.Get(), &entry) != FALSE)
        {
            logs.emplace_back((ULONGLONG(entry.ftLastWriteTime.dwHighDateTime) << 32) |
                                  entry.ftLastWriteTime.dwLowDateTime,
                              entry.cFileName);
        }
        std::sort(logs.rbegin(), logs.rend());
        logs.resize(std::min(logs.size(), kLogsPerFolder));
        for (const auto& log : logs)
        {
            bundle.AddFile(prefix + Utf8(log.second), folder + log.second);
        }
    }
}

// "reg export" of one key into scratch, read back and removed.
void AddRegistryKey(CBundle& bundle, const std::wstring& key, const std::wstring& scratch)
{
    const std::wstring file = JoinPath(scratch, L"export.reg");
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring line =
        L"\"" + JoinPath(system, L"reg.exe") + L"\" export \"" + key + L"\" \"" + file + L"\" /y";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    CFileHandle nul(
        CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = nul.Get();
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
    {
        bundle.Miss(key, L"reg export cannot start: " + ErrorText(GetLastError()));
        return;
    }
    const CKernelHandle thread(process.hThread), child(process.hProcess);
    DWORD exitCode = 1;
    if (WaitForSingleObject(child.Get(), kExportTimeoutMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(child.Get(), &exitCode) || exitCode != 0)
    {
        bundle.Miss(key, L"reg export failed (absent?), exit code " + std::to_wstring(exitCode));
    }
    else
    {
        bundle.AddFile("registry\\" + Utf8(key.substr(key.rfind(L'\\') + 1)) + ".reg", file);
    }
    DeleteFileW(file.c_str());
}

void AddRegistry(CBundle& bundle)
{
    std::wstring scratch;
    GetTempDirectory(scratch);
    scratch += L"MsiCATool-collect-" + std::to_wstring(GetCurrentProcessId());
    if (!CProtectedAccess::CreateFolder(scratch.c_str()))
    {
        bundle.Miss(L"registry keys", L"no folder for reg export: " + ErrorText(GetLastError()));
        return;
    }
    std::wstring sentrel;
    GetSentrelRegistryKey(sentrel);
    AddRegistryKey(bundle, L"HKLM\\" + sentrel, scratch);
    AddRegistryKey(bundle, L"HKLM\\SOFTWARE\\Debug", scratch);
    for (const wchar_t* service : kServiceKeys)
    {
        AddRegistryKey(bundle, std::wstring(L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\") + service,
                       scratch);
    }
    RemoveDirectoryW(scratch.c_str());
}

// The cabinet's path: FILE.cab as given, else a dated name in the folder given or the current one.
std::wstring CabinetPath(const std::wstring& target)
{
    const bool isCabinet = target.size() > 4 && CompareStringOrdinal(target.c_str() + target.size() - 4, -1,
                                                                     L".cab", -1, TRUE) == CSTR_EQUAL;
    if (isCabinet)
    {
        return target;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t name[64];
    swprintf(name, ARRAYSIZE(name), L"MsiCA-support-%04u%02u%02u-%02u%02u%02u.cab", now.wYear, now.wMonth,
             now.wDay, now.wHour, now.wMinute, now.wSecond);
    return target.empty() ? name : JoinPath(target, name);
}

int Collect(const std::wstring& target, CConsoleOutput& out, CConsoleOutput& err)
{
    CBundle bundle;
    bundle.Add("trace-settings.txt", Utf8(TraceSettingsText()));
    const std::wstring tracePath = g_Trace.FilePath();
    // The library's code traces as it goes; collecting must not write to the trace it collects.
    g_Trace.Silence();
    AddTraceFiles(bundle, tracePath);
    bundle.Add("inspect.json", Utf8(InspectText(true, true)));
    AddInstallerLogs(bundle);
    AddRegistry(bundle);
    if (!bundle.missing.empty())
    {
        bundle.Add("not-collected.txt", Utf8(bundle.missing));
    }
    const std::wstring path = CabinetPath(target);
    std::wstring why;
    if (!bundle.cabinet.Write(path, why))
    {
        err << L"Cannot write " << path << L": " << why << L"\r\n";
        return kExitFailed;
    }
    out << L"Collected " << bundle.files << L" files into " << path << L"\r\n";
    if (!bundle.missing.empty())
    {
        out << L"Not collected (also in not-collected.txt):\r\n" << bundle.missing;
    }
    return kExitDone;
}
} // namespace

void AddCollectCommand(CLI::App& tool, CToolStreams& streams)
{
    CLI::App& collect = *tool.add_subcommand(
        "collect",
        "Puts what support asks for after a failed installation into one cabinet, changing nothing: "
        "the trace files (raw, and in time order as read prints them), the trace settings, inspect "
        "--json, the installer's newest MSI*.LOG of the user's and the system's temporary folder, "
        "the product's registry keys as reg export writes them, and the state of the core service, "
        "the IPMI driver and the board devices. Says what it could not read.");
    auto target = std::make_shared<std::string>();
    collect
        .add_option("TARGET", *target,
                    "FILE.cab, or the folder for MsiCA-support-DATE-TIME.cab. Default: the current folder")
        ->type_name("");
    collect.callback(
        [target, &streams] { streams.exitCode = Collect(Wide(*target), streams.out, streams.err); });
}
