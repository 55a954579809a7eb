#include "extmod/CExtensionModuleConf.h"

CExtensionModuleConf::~CExtensionModuleConf()
{
    m_valid = false;
}

bool CExtensionModuleConf::Open(const wchar_t*)
{
    return false;
}

bool CExtensionModuleConf::BuildModuleList(ModuleList&, int) const
{
    return true;
}

std::wstring CExtensionModuleConf::ReadModeName(const wchar_t*) const
{
    return {};
}

std::vector<std::wstring> CExtensionModuleConf::ReadSectionKeys(const wchar_t*) const
{
    return {};
}

void CExtensionModuleConf::TraceOpenError(const wchar_t*)
{
}

int CExtensionModuleConf::ReadInt(const wchar_t*, const wchar_t*, int defaultValue) const
{
    return defaultValue;
}

std::wstring CExtensionModuleConf::ReadText(const wchar_t*, const wchar_t*) const
{
    return {};
}
