#include "util/ProductLocations.h"
#include "util/CRegistryKey.h"

namespace
{
const wchar_t kUuidKey[] = L"SYSTEM\\CurrentControlSet\\Control\\UUID\\C3681B60-0D26-11D3-8319-00A0C9B61E25";
const wchar_t kDefaultSentrelKey[] = L"SOFTWARE\\Arvetta\\Management\\Sentrel";
const wchar_t kMiniNtKey[] = L"SYSTEM\\CurrentControlSet\\Control\\MiniNT";
constexpr DWORD kPathGrowth = MAX_PATH;
// GetModuleFileNameW cannot deliver more than a UNICODE_STRING holds.
constexpr DWORD kLongestImagePath = 32768;

// A product key is read in the 64-bit view first and, when that fails for any reason, in
// the 32-bit view that a 32-bit installation writes.
bool OpenProductKey(CRegistryKey& key, const wchar_t* subKey)
{
    return key.Open(subKey, KEY_READ) == ERROR_SUCCESS ||
           key.Open(subKey, KEY_READ | KEY_WOW64_32KEY) == ERROR_SUCCESS;
}
} // namespace

bool ReadRegistryString(const wchar_t* subKey, const wchar_t* valueName, std::wstring& out)
{
    if (!subKey || !valueName)
    {
        return false;
    }
    CRegistryKey key;
    if (!OpenProductKey(key, subKey) || !key.QueryValue(valueName))
    {
        return false;
    }
    out = key.Text();
    key.Close();
    return key.Status() == ERROR_SUCCESS;
}

const wchar_t* GetSentrelRegistryKey(std::wstring& out)
{
    LocationSource ignored;
    return GetSentrelRegistryKey(out, ignored);
}

const wchar_t* GetSentrelRegistryKey(std::wstring& out, LocationSource& source)
{
    bool good = false;
    CRegistryKey key;
    if (OpenProductKey(key, kUuidKey) && key.QueryValue(L"Sentrel"))
    {
        out = key.Text();
        good = key.Status() == ERROR_SUCCESS;
    }
    if (!good)
    {
        out = kDefaultSentrelKey;
    }
    source = good ? LocationSource::Value : LocationSource::Fallback;
    return out.c_str();
}

const wchar_t* GetFileRoot(std::wstring& out)
{
    LocationSource ignored;
    return GetFileRoot(out, ignored);
}

const wchar_t* GetFileRoot(std::wstring& out, LocationSource& source)
{
    out.clear();
    std::wstring key;
    GetSentrelRegistryKey(key);
    key += L"\\Setup";
    if (ReadRegistryString(key.c_str(), L"FileRoot", out))
    {
        if (!out.empty())
        {
            StripTrailingBackslash(out);
        }
        source = LocationSource::Value;
    }
    else
    {
        if (GetProcessImagePath(out))
        {
            RemoveLastPathComponent(out);
        }
        source = LocationSource::ProcessFolder;
    }
    return out.c_str();
}

const wchar_t* GetDataRoot(std::wstring& out)
{
    LocationSource ignored;
    return GetDataRoot(out, ignored);
}

const wchar_t* GetDataRoot(std::wstring& out, LocationSource& source)
{
    out.clear();
    std::wstring key;
    GetSentrelRegistryKey(key);
    key += L"\\DATA";
    source = LocationSource::Value;
    if (!ReadRegistryString(key.c_str(), L"DataRoot", out))
    {
        GetFileRoot(out);
        out += L"\\Data";
        source = LocationSource::Fallback;
        const DWORD attributes = out.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(out.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        {
            GetTempDirectory(out);
            source = LocationSource::TempFolder;
        }
    }
    if (!out.empty())
    {
        StripTrailingBackslash(out);
    }
    return out.c_str();
}

bool GetTempDirectory(std::wstring& out)
{
    out.assign(MAX_PATH, L'\0');
    const DWORD length = GetTempPathW(MAX_PATH, &out[0]);
    if (length >= MAX_PATH)
    {
        out.clear();
        return false;
    }
    out.resize(length);
    return length > 0;
}

bool GetProcessImagePath(std::wstring& out)
{
    std::wstring buffer;
    DWORD length = 0;
    for (DWORD size = kPathGrowth; size <= kLongestImagePath + kPathGrowth; size += kPathGrowth)
    {
        buffer.assign(size, L'\0');
        // A stale error must not pass for a truncated path.
        SetLastError(ERROR_SUCCESS);
        length = GetModuleFileNameW(nullptr, &buffer[0], size);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        {
            break;
        }
        length = 0;
    }
    if (length == 0)
    {
        return false;
    }
    out.assign(buffer.c_str(), length);
    return true;
}

void RemoveLastPathComponent(std::wstring& path)
{
    if (path.size() < 2)
    {
        return;
    }
    const size_t cut = path.find_last_of(L'\\', path.size() - 2);
    if (cut != std::wstring::npos && cut > 0)
    {
        path.resize(cut);
    }
}

void StripTrailingBackslash(std::wstring& path)
{
    const size_t last = path.find_last_of(L'\\');
    if (last != std::wstring::npos && last + 1 == path.size() && last >= 3)
    {
        path.pop_back();
    }
}

bool IsWinPE()
{
    CRegistryKey key;
    return key.Open(kMiniNtKey, KEY_ALL_ACCESS) == ERROR_SUCCESS;
}
