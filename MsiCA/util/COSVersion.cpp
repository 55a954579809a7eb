#include "util/COSVersion.h"
#include "trace/CTrace.h"
#include "util/CFileVersionInfo.h"

#define OSV_TAG L"\nCOSVersion          : "

COSVersion::COSVersion() : OSVERSIONINFOEXW{}
{
    dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
}

bool COSVersion::Retrieve()
{
    OSVERSIONINFOEXW& record = *this;
    record = OSVERSIONINFOEXW{};
    dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&record)))
    {
        return false;
    }
    TRACE(4, OSV_TAG L"OS version returned by GetVersionEx API: Major %d Minor %d Build %d", dwMajorVersion,
          dwMinorVersion, dwBuildNumber);
    TRACE(4, OSV_TAG L"OS product type: 0x%02X, platform id: 0x%02X, suite mask: 0x%02X", wProductType,
          dwPlatformId, wSuiteMask);
    if (dwMajorVersion < 6 || (dwMajorVersion == 6 && dwMinorVersion < 2))
    {
        return true;
    }
    TRACE(4, OSV_TAG L"Use file version info of kernel32.dll to retrieve the real OS version...");
    CFileVersionInfo kernel32(GetModuleHandleW(L"kernel32"));
    if (!kernel32.Path().empty() && CFileVersionInfo::GetVersionInfoSize(kernel32.Path().c_str()) != 0)
    {
        VS_FIXEDFILEINFO fixed{};
        kernel32.QueryFixedFileInfo(fixed);
        dwMajorVersion = HIWORD(fixed.dwFileVersionMS);
        dwMinorVersion = LOWORD(fixed.dwFileVersionMS);
        dwBuildNumber = HIWORD(fixed.dwFileVersionLS);
        TRACE(4, OSV_TAG L"OS version read from kernel32.dll: Major %d Minor %d Build %d", dwMajorVersion,
              dwMinorVersion, dwBuildNumber);
    }
    return true;
}
