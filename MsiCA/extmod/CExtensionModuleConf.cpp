#include "extmod/CExtensionModuleConf.h"
#include "trace/CTrace.h"
#include <new>

namespace
{
// The profile API truncates silently; a text this long still truncated counts as unreadable.
constexpr DWORD kReadGrowth = 1024;
constexpr DWORD kLargestRead = 63 * kReadGrowth;

const wchar_t kOsName[] = L"Windows";
const wchar_t kOsInstallKey[] = L"Install.Windows";
// An absent OS-specific flag; the common flag decides then.
constexpr int kFlagAbsent = 99;
} // namespace

CExtensionModuleConf::~CExtensionModuleConf()
{
    m_valid = false;
}

bool CExtensionModuleConf::Open(const wchar_t* path)
{
    if (path && *path)
    {
        m_path = path;
        if (m_path.find_first_of(L"\\/") == std::wstring::npos)
        {
            m_path.insert(0, L".\\");
        }
    }
    m_valid = false;
    if (!m_path.empty())
    {
        const DWORD attributes = GetFileAttributesW(m_path.c_str());
        m_valid = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    return m_valid;
}

bool CExtensionModuleConf::BuildModuleList(ModuleList& list, int runMode) const
{
    if (runMode == 0)
    {
        runMode = ReadInt(L"General", L"RunMode", 0);
    }
    std::wstring section = L"Modules";
    if (runMode == 0)
    {
        TRACE(3, EXTMOD_CONF_TAG L"Current run mode: Default (%d)", 0);
    }
    else
    {
        const std::wstring name = ReadModeName(std::to_wstring(runMode).c_str());
        if (!name.empty())
        {
            section += L"." + name;
        }
        TRACE(3, EXTMOD_CONF_TAG L"Current run mode: %s (%d)", name.c_str(), runMode);
    }
    if (!IsValid())
    {
        return true;
    }
    const std::vector<std::wstring> keys = ReadSectionKeys(section.c_str());
    if (keys.empty())
    {
        return true;
    }
    TRACE(4, EXTMOD_CONF_TAG L"OS = %s", kOsName);
    TRACE(4, EXTMOD_CONF_TAG L"OS specific ini file install section = \"%s\"", kOsInstallKey);
    TRACE(4, EXTMOD_CONF_TAG L"Check modules and add modules to module list...");
    for (const std::wstring& module : keys)
    {
        TRACE(3, EXTMOD_CONF_TAG L"  module \"%s\"", module.c_str());
        const bool load = ReadInt(section.c_str(), module.c_str(), 0) != 0;
        TRACE(3, EXTMOD_CONF_TAG L"    module load flag [run mode table] = %d", load ? 1 : 0);
        if (!load)
        {
            TRACE(3, EXTMOD_CONF_TAG L"    module not enabled in run mode table");
            continue;
        }
        int install = ReadInt(module.c_str(), kOsInstallKey, kFlagAbsent);
        if (install != kFlagAbsent)
        {
            TRACE(4, EXTMOD_CONF_TAG L"    install flag value [OS specific] = %d", install);
        }
        else
        {
            install = ReadInt(module.c_str(), L"Install", 0);
            TRACE(4, EXTMOD_CONF_TAG L"    install flag value [common] = %d", install);
        }
        if (install != 0)
        {
            TRACE(4, EXTMOD_CONF_TAG L"-> add module %s to module table", module.c_str());
            list.push_back(module);
        }
    }
    return true;
}

std::wstring CExtensionModuleConf::ReadModeName(const wchar_t* runModeText) const
{
    return ReadText(L"Modes", runModeText);
}

std::vector<std::wstring> CExtensionModuleConf::ReadSectionKeys(const wchar_t* section) const
{
    const std::wstring text = ReadText(section, nullptr);
    std::vector<std::wstring> keys;
    // The names lie one after another, each ending with a NUL; an empty one ends the list.
    for (size_t start = 0; start < text.size() && text[start] != L'\0';)
    {
        size_t end = text.find(L'\0', start);
        if (end == std::wstring::npos)
        {
            end = text.size();
        }
        keys.emplace_back(text, start, end - start);
        start = end + 1;
    }
    return keys;
}

bool CExtensionModuleConf::ReadModuleList(const std::wstring& path, int runMode, ModuleList& list)
{
    CExtensionModuleConf conf;
    if (!conf.Open(path.c_str()))
    {
        TraceOpenError(path.c_str());
        return false;
    }
    return conf.BuildModuleList(list, runMode);
}

void CExtensionModuleConf::TraceOpenError(const wchar_t* path)
{
    TRACE(1, EXTMOD_CONF_TAG L"ERROR! Could not open Module.ini in \"%s\"", path && *path ? path : L"NULL");
}

int CExtensionModuleConf::ReadInt(const wchar_t* section, const wchar_t* key, int defaultValue) const
{
    if (!IsValid())
    {
        return 0;
    }
    return static_cast<int>(GetPrivateProfileIntW(section, key, defaultValue, m_path.c_str()));
}

// A value, or with no key the section's key names each followed by a NUL.
std::wstring CExtensionModuleConf::ReadText(const wchar_t* section, const wchar_t* key) const
{
    if (!IsValid())
    {
        return {};
    }
    std::wstring buffer;
    for (DWORD size = kReadGrowth; size <= kLargestRead; size += kReadGrowth)
    {
        try
        {
            buffer.resize(size);
        }
        catch (const std::bad_alloc&)
        {
            TRACE(1, EXTMOD_CONF_TAG L"ERROR! Out of memory reading [%s] of \"%s\"", section, m_path.c_str());
            return {};
        }
        const DWORD length = GetPrivateProfileStringW(section, key, L"", &buffer[0], size, m_path.c_str());
        // size - 1 for a truncated value, size - 2 for a truncated key list.
        if (length + 1 != size && length + 2 != size)
        {
            buffer.resize(length);
            return buffer;
        }
    }
    TRACE(1, EXTMOD_CONF_TAG L"ERROR! [%s] of \"%s\" is longer than %u characters", section, m_path.c_str(),
          kLargestRead);
    return {};
}
