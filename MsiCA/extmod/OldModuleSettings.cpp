#include "extmod/OldModuleSettings.h"

namespace
{
constexpr DWORD kLastVersionWithoutOwnBackup = 0x0007000A;
} // namespace

OldModuleSetting GetOldModuleSetting(const std::wstring& module, bool versionChecked)
{
    // Names compare exactly: a module spelt otherwise is another module.
    if (module == L"EM_DEF")
    {
        return {L"CommonConfig.ccs", false};
    }
    if (module == L"EM_DRVMON")
    {
        return {L"loggetd.bookmark", false};
    }
    if (module == L"EM_UPDATE" && versionChecked)
    {
        return {L"EM_UPDATE", true};
    }
    return {nullptr, false};
}

bool SavesOwnSettings(DWORD fileVersionMS)
{
    return fileVersionMS > kLastVersionWithoutOwnBackup;
}
