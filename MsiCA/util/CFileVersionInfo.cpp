#include "util/CFileVersionInfo.h"
#include "trace/CTrace.h"
#include "util/ProcAddress.h"
#include <cwchar>
#include <cwctype>
#include <strsafe.h>

#define FVI_TAG L"\nCFileVersionInfo    : "
#define RES_TAG L"\nCVersionResource    : "

namespace
{
constexpr DWORD kModulePathSize = 520;
using GetSystemWow64DirectoryFunction = UINT(WINAPI*)(LPWSTR buffer, UINT size);

// Fills buffer through a GetSystemDirectoryW-style call; false unless the whole text fits.
template <class Getter>
bool FillDirectory(Getter&& getter, wchar_t (&buffer)[MAX_PATH])
{
    const UINT length = getter(buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH;
}

// The same file in the WOW64 system directory, for a path in the system directory. Leaves
// the caller's last error as it found it.
bool BuildWow64Path(const wchar_t* path, wchar_t (&alternative)[MAX_PATH], bool trace)
{
    const DWORD error = GetLastError();
    bool built = false;
    wchar_t systemDir[MAX_PATH];
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 && FillDirectory(GetSystemDirectoryW, systemDir))
    {
        if (trace)
        {
            TRACE(3, FVI_TAG L"System dir is: \"%s\"", systemDir);
        }
        const size_t systemLength = wcslen(systemDir);
        auto getWow64Dir =
            GetProcAddressAs<GetSystemWow64DirectoryFunction>(kernel32, "GetSystemWow64DirectoryW");
        wchar_t wow64Dir[MAX_PATH];
        if (wcsncmp(path, systemDir, systemLength) == 0 && getWow64Dir &&
            FillDirectory(getWow64Dir, wow64Dir))
        {
            const wchar_t* rest = path + systemLength;
            if (trace)
            {
                TRACE(3, FVI_TAG L"Module system location is: \"%s\"", rest);
            }
            // A longer result is cut to the buffer, as a MAX_PATH path would be anyway.
            StringCchPrintfW(alternative, MAX_PATH, L"%s%s", wow64Dir, rest);
            if (trace)
            {
                TRACE(3, FVI_TAG L"Check WOW64 system path: \"%s\"", alternative);
            }
            built = true;
        }
    }
    SetLastError(error);
    return built;
}
} // namespace

CFileVersionInfo::CFileVersionInfo(HMODULE module)
{
    wchar_t path[kModulePathSize];
    const DWORD length = GetModuleFileNameW(module, path, kModulePathSize);
    if (length > 0 && length < kModulePathSize)
    {
        Load(path);
    }
}

bool CFileVersionInfo::Load(const wchar_t* path)
{
    m_data.clear();
    m_path = path ? path : L"";
    if (m_path.empty())
    {
        return false;
    }
    const DWORD size = GetVersionInfoSize(path);
    if (size == 0)
    {
        return false;
    }
    std::vector<BYTE> buffer(size);
    if (ReadVersionInfo(path, buffer.data(), size))
    {
        m_data.swap(buffer);
    }
    return !m_data.empty();
}

DWORD CFileVersionInfo::GetVersionInfoSize(const wchar_t* path)
{
    if (!path)
    {
        return 0;
    }
    DWORD size = GetFileVersionInfoSizeW(path, nullptr);
    if (size != 0)
    {
        return size;
    }
    wchar_t alternative[MAX_PATH];
    if (GetLastError() == ERROR_FILE_NOT_FOUND && BuildWow64Path(path, alternative, true))
    {
        size = GetFileVersionInfoSizeW(alternative, nullptr);
        if (size != 0)
        {
            return size;
        }
    }
    TRACE(1, FVI_TAG L"ERROR 0x%X! GetFileVersionInfoSize() (\"%s\") FAILED!", GetLastError(), path);
    return 0;
}

bool CFileVersionInfo::ReadVersionInfo(const wchar_t* path, void* buffer, DWORD size)
{
    if (!path || !*path || !buffer || size == 0)
    {
        return false;
    }
    if (GetFileVersionInfoW(path, 0, size, buffer))
    {
        return true;
    }
    wchar_t alternative[MAX_PATH];
    return GetLastError() == ERROR_FILE_NOT_FOUND && BuildWow64Path(path, alternative, false) &&
           GetFileVersionInfoW(alternative, 0, size, buffer);
}

bool CFileVersionInfo::QueryValue(const wchar_t* subBlock, void*& value, UINT& length) const
{
    value = nullptr;
    length = 0;
    return !m_data.empty() && VerQueryValueW(m_data.data(), subBlock, &value, &length) && value;
}

bool CFileVersionInfo::ContainsLangId(WORD& langId, WORD& codePage) const
{
    TRACE(4, RES_TAG L"Search version info entry for lang ID 0x%04X and code page %d ...", langId, codePage);
    struct Translation
    {
        WORD language;
        WORD codePage;
    };
    bool found = false;
    void* value = nullptr;
    UINT length = 0;
    if (QueryValue(L"\\VarFileInfo\\Translation", value, length))
    {
        const UINT count = length / sizeof(Translation);
        TRACE(5, RES_TAG L"Version resource contains %d language(s):", count);
        const auto* entries = static_cast<const Translation*>(value);
        for (UINT i = 0; i < count && !found; ++i)
        {
            TRACE(5, RES_TAG L"Check version resource entry with lang ID 0x%04X", entries[i].language);
            if (langId == 0 || langId == entries[i].language)
            {
                langId = entries[i].language;
                codePage = entries[i].codePage;
                found = true;
            }
        }
    }
    TRACE(4, RES_TAG L"... version info entry %sfound (Return: Lang ID 0x%04X, Code page %d)!",
          found ? L"" : L"NOT ", langId, codePage);
    return found;
}

bool CFileVersionInfo::QueryProductVersion(std::wstring& out) const
{
    if (m_data.empty())
    {
        return false;
    }
    WORD langId = 0;
    WORD codePage = 0;
    if (!ContainsLangId(langId, codePage))
    {
        TRACE(1, RES_TAG L"ERROR 0x%X! ContainsLangId() FAILED!", GetLastError());
        return false;
    }
    const wchar_t kName[] = L"ProductVersion";
    wchar_t subBlock[MAX_PATH];
    StringCchPrintfW(subBlock, MAX_PATH, L"\\StringFileInfo\\%04X%04X\\%s", langId, codePage, kName);
    TRACE(5, FVI_TAG L"Query version info string \"%s\"", subBlock);
    void* value = nullptr;
    UINT length = 0;
    if (!QueryValue(subBlock, value, length))
    {
        TRACE(1, RES_TAG L"ERROR 0x%X! VerQueryValue() FAILED!", GetLastError());
        return false;
    }
    // The length counts characters; the text ends at the first terminator within it.
    const auto* text = static_cast<const wchar_t*>(value);
    out.assign(text, wcsnlen(text, length));
    MakePrintable(out);
    TRACE(4, RES_TAG L"Version info string for \"%s\": \"%s\"", kName, out.c_str());
    return true;
}

bool CFileVersionInfo::QueryFixedFileInfo(VS_FIXEDFILEINFO& out) const
{
    void* value = nullptr;
    UINT length = 0;
    if (!QueryValue(L"\\", value, length) || length < sizeof(VS_FIXEDFILEINFO))
    {
        return false;
    }
    out = *static_cast<const VS_FIXEDFILEINFO*>(value);
    return true;
}

bool CFileVersionInfo::MakePrintable(std::wstring& text)
{
    bool unchanged = true;
    for (wchar_t& character : text)
    {
        // The Windows runtime counts a tab as printable; no control character is kept.
        if (!iswprint(character) || iswcntrl(character))
        {
            character = L'?';
            unchanged = false;
        }
    }
    return unchanged;
}
