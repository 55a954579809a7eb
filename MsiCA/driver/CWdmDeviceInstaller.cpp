#include "driver/CWdmDeviceInstaller.h"
#include "driver/CDeviceInfoList.h"
#include "trace/CTrace.h"
#include "util/ProcAddress.h"
#include "util/Win32Errors.h"
#include <newdev.h>

#define WDM_TAG L"\nCWdmDeviceInstaller : "
#define WDM_SHORT_TAG L"\nCWdmInstaller       : "

namespace
{
constexpr DWORD kHardwareIdChars = 255;
constexpr DWORD kInstallFlags = INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE;
constexpr DWORD kClassNameChars = 32; // MAX_CLASS_NAME_LEN, which mingw-w64 lacks

using UpdateDriverFunction = decltype(&UpdateDriverForPlugAndPlayDevicesW);

// UpdateDriverForPlugAndPlayDevicesW of newdev.dll, loaded for this one call. The call's
// error survives the unloading.
bool UpdateDriver(const wchar_t* hardwareId, const wchar_t* infPath)
{
    CModuleHandle newdev(LoadLibraryW(L"newdev"));
    if (!newdev)
    {
        TRACE(1, WDM_SHORT_TAG L"ERROR 0x%X! Loading \"newdev.dll\" FAILED!", GetLastError());
        return false;
    }
    bool updated = false;
    auto update = GetProcAddressAs<UpdateDriverFunction>(newdev.Get(), "UpdateDriverForPlugAndPlayDevicesW");
    if (update)
    {
        updated = update(nullptr, hardwareId, infPath, kInstallFlags, nullptr) != FALSE;
    }
    const DWORD error = GetLastError();
    newdev.Reset();
    SetLastError(error);
    return updated;
}

DWORD StepFailed(const wchar_t* line, DWORD error)
{
    TRACE(1, line, error);
    return error;
}

// The steps of InstallOrUpdate; 0 or the failing step's code. The device information list
// is gone when it returns, so that its destruction cannot touch the caller's last error.
DWORD CreateDeviceAndUpdateDriver(const wchar_t* hardwareId, const wchar_t* infPath)
{
    TRACE(4, WDM_TAG L"Install (or update) WDM driver for hardware Id \"%s\" from INF file \"%s\"",
          hardwareId, infPath);
    wchar_t fullPath[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(infPath, MAX_PATH, fullPath, nullptr);
    if (length == 0 || length >= MAX_PATH)
    {
        // A path that does not fit leaves no error of its own.
        return StepFailed(WDM_TAG L"## ERROR 0x%X! GetFullPathName() FAILED!",
                          length == 0 ? LastErrorOr(ERROR_INVALID_NAME) : ERROR_FILENAME_EXCED_RANGE);
    }
    TRACE(4, WDM_TAG L"Full INF file path: \"%s\"", fullPath);

    // A list of one entry: the zeroed rest supplies both terminators.
    wchar_t hardwareIdList[MAX_PATH] = {};
    lstrcpynW(hardwareIdList, hardwareId, kHardwareIdChars + 1);

    GUID classGuid{};
    wchar_t className[kClassNameChars] = {};
    if (!SetupDiGetINFClassW(fullPath, &classGuid, className, kClassNameChars, nullptr))
    {
        return StepFailed(WDM_TAG L"## ERROR 0x%X! SetupDiGetINFClass FAILED!",
                          LastErrorOr(ERROR_INVALID_DATA));
    }
    TRACE(4, WDM_TAG L"INF class name: \"%s\"", className);

    CDeviceInfoList list(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    if (!list)
    {
        return StepFailed(WDM_TAG L"## ERROR 0x%X! SetupDiCreateDeviceInfoList FAILED!",
                          LastErrorOr(ERROR_INVALID_HANDLE));
    }
    SP_DEVINFO_DATA data = EmptyDeviceInfoData();
    if (!SetupDiCreateDeviceInfoW(list.Get(), className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID,
                                  &data))
    {
        return StepFailed(WDM_TAG L"## ERROR 0x%X! SetupDiCreateDeviceInfo FAILED!",
                          LastErrorOr(ERROR_INVALID_DATA));
    }
    const DWORD listBytes = static_cast<DWORD>((lstrlenW(hardwareIdList) + 2) * sizeof(wchar_t));
    if (!SetupDiSetDeviceRegistryPropertyW(list.Get(), &data, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(hardwareIdList), listBytes))
    {
        return StepFailed(WDM_TAG L"## ERROR 0x%X! SetupDiSetDeviceRegistryProperty FAILED!",
                          LastErrorOr(ERROR_INVALID_DATA));
    }
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list.Get(), &data))
    {
        return StepFailed(WDM_TAG L"## ERROR 0x%X! SetupDiCallClassInstaller FAILED!",
                          LastErrorOr(ERROR_INVALID_DATA));
    }

    TRACE(5, WDM_TAG L"Call UpdateDriverForPlugAndPlayDevices() ...");
    const bool updated = UpdateDriver(hardwareId, fullPath);
    const DWORD error = updated ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
    TRACE(5, WDM_TAG L"...UpdateDriverForPlugAndPlayDevices() completed.");
    if (!updated)
    {
        TRACE(1, WDM_TAG L"## ERROR 0x%X! UpdateDriverForPlugAndPlayDevices FAILED!", error);
    }
    return error;
}
} // namespace

bool CWdmDeviceInstaller::InstallOrUpdate(const wchar_t* hardwareId, const wchar_t* infPath)
{
    if (!hardwareId || !infPath)
    {
        SetLastError(0);
        return false;
    }
    const DWORD error = CreateDeviceAndUpdateDriver(hardwareId, infPath);
    SetLastError(error);
    return error == 0;
}
