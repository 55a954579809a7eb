#include "TraceFolder.h"
#include "ErrorText.h"
#include "util/CProtectedAccess.h"
#include <windows.h>

const wchar_t kDefaultTracePath[] = L"%ProgramData%\\MsiCA\\MsiCA-trace.log";

namespace
{
std::wstring Expanded(const std::wstring& text)
{
    wchar_t expanded[MAX_PATH] = {};
    ExpandEnvironmentStringsW(text.c_str(), expanded, MAX_PATH);
    wchar_t full[MAX_PATH] = {};
    return GetFullPathNameW(expanded, MAX_PATH, full, nullptr) ? full : expanded;
}

std::wstring FolderOf(const std::wstring& path)
{
    const size_t separator = path.find_last_of(L'\\');
    return separator == std::wstring::npos ? path : path.substr(0, separator);
}
} // namespace

bool PrepareTraceFolder(const std::wstring& path, std::wstring& warning, std::wstring& error)
{
    const std::wstring folder = FolderOf(Expanded(path));
    std::wstring why;
    if (CompareStringOrdinal(folder.c_str(), -1, FolderOf(Expanded(kDefaultTracePath)).c_str(), -1, TRUE) !=
        CSTR_EQUAL)
    {
        if (!CProtectedAccess::IsClosedToUsers(folder.c_str(), why))
        {
            warning = L"WARNING: other users may create files in " + folder + L" (" + why +
                      L"): they could read the trace or plant files beside it.";
        }
        return true;
    }
    if (CProtectedAccess::CreateFolder(folder.c_str()))
    {
        return true;
    }
    const DWORD created = GetLastError();
    if (created != ERROR_ALREADY_EXISTS)
    {
        error = L"Cannot create " + folder + L": " + ErrorText(created);
        return false;
    }
    // Someone may have made it first (every user can create folders in %ProgramData%).
    if (!CProtectedAccess::IsTrusted(folder.c_str(), why))
    {
        error = folder + L" is not used for the trace: " + why + L". Remove it, or give --path.";
        return false;
    }
    return true;
}
