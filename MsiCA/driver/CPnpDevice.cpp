#include "driver/CPnpDevice.h"
#include "driver/CDeviceInfoList.h"
#include "trace/CTrace.h"
#include "util/CMultiString.h"
#include "util/Win32Errors.h"
#include <algorithm>
#include <cfgmgr32.h>
#include <cstring>
#include <rpc.h>

#define PNP_TAG L"\nCPnpDevice          : "

namespace
{
constexpr DWORD kHardwareIdBytes = 4192;
constexpr ULONG kInstanceIdChars = 200;
constexpr DWORD kOpenFlags = DIOD_INHERIT_CLASSDRVS;

bool OpenInstance(HDEVINFO list, const wchar_t* instanceId, SP_DEVINFO_DATA& data)
{
    return SetupDiOpenDeviceInfoW(list, instanceId, nullptr, kOpenFlags, &data) != FALSE;
}

// The device's hardware ID list, with two terminators added so that every entry ends even
// when the property lacks its own.
bool ReadHardwareIds(HDEVINFO list, SP_DEVINFO_DATA& data, CMultiString& ids)
{
    // Two characters beyond what the property may fill stay zero.
    wchar_t buffer[kHardwareIdBytes / sizeof(wchar_t) + 2] = {};
    DWORD required = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(list, &data, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<BYTE*>(buffer), kHardwareIdBytes, &required))
    {
        return false;
    }
    ids.Append(buffer, std::min(required, kHardwareIdBytes));
    const wchar_t terminators[2] = {};
    ids.Append(terminators, sizeof(terminators));
    return true;
}

bool ListHolds(const CMultiString& ids, const wchar_t* hardwareId)
{
    const size_t count = ids.Count();
    for (size_t index = 0; index < count; ++index)
    {
        const wchar_t* entry = ids.Entry(index);
        TRACE(5, PNP_TAG L"Compare hardware Id %s <-> %s!", hardwareId, entry);
        if (lstrcmpiW(hardwareId, entry) == 0)
        {
            return true;
        }
    }
    return false;
}

// The instance ID of a device node; 0 or the error.
DWORD ReadInstanceId(DEVINST node, std::wstring& instanceId)
{
    // One character beyond the call's limit stays zero, so the text always ends.
    wchar_t buffer[kInstanceIdChars + 1] = {};
    const CONFIGRET result = CM_Get_Device_IDW(node, buffer, kInstanceIdChars, 0);
    if (result == CR_SUCCESS)
    {
        instanceId = buffer;
        return 0;
    }
    // The configuration manager answers with its own codes and may leave no last error.
    const DWORD error =
        LastErrorOr(result == CR_BUFFER_SMALL ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_DATA);
    TRACE(1, PNP_TAG L"## ERROR 0x%X! CM_Get_Device_ID FAILED (CR 0x%X)!", error, result);
    return error;
}
} // namespace

DWORD CPnpDevice::FindByHardwareId(std::wstring& instanceId, const wchar_t* hardwareId, const GUID* classGuid)
{
    if (!hardwareId)
    {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD result = ERROR_NO_DATA;
    const DWORD flags =
        classGuid ? DIGCF_PRESENT | DIGCF_PROFILE : DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE;
    CDeviceInfoList list(SetupDiGetClassDevsW(classGuid, nullptr, nullptr, flags));
    if (!list)
    {
        result = LastErrorOr(ERROR_INVALID_HANDLE);
        TRACE(1, PNP_TAG L"## ERROR 0x%X! SetupDiGetClassDevs FAILED!", result);
    }
    SP_DEVINFO_DATA data = EmptyDeviceInfoData();
    for (DWORD index = 0; list && SetupDiEnumDeviceInfo(list.Get(), index, &data); ++index)
    {
        TRACE(4, PNP_TAG L"Found device at index %d!", index);
        CMultiString ids;
        if (!ReadHardwareIds(list.Get(), data, ids))
        {
            result = LastErrorOr(ERROR_INVALID_DATA);
            TRACE(4, PNP_TAG L"SetupDiGetDeviceRegistryProperty failed (0x%X, no device?)", result);
            continue;
        }
        if (!ListHolds(ids, hardwareId))
        {
            result = ERROR_NO_DATA;
            continue;
        }
        result = ReadInstanceId(data.DevInst, instanceId);
        break;
    }
    list.Reset();
    TRACE(4, PNP_TAG L"DevInfo data for hardware ID %s %sFOUND!", hardwareId, result != 0 ? L"NOT " : L"");
    return result;
}

DWORD CPnpDevice::GetInstanceClassGuid(const wchar_t* instanceId, GUID& classGuid)
{
    if (!instanceId)
    {
        return ERROR_INVALID_PARAMETER;
    }
    CDeviceInfoList list(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!list)
    {
        return LastErrorOr(ERROR_INVALID_HANDLE);
    }
    SP_DEVINFO_DATA data = EmptyDeviceInfoData();
    if (!OpenInstance(list.Get(), instanceId, data))
    {
        return LastErrorOr(ERROR_NO_SUCH_DEVINST);
    }
    classGuid = data.ClassGuid;
    return 0;
}

bool CPnpDevice::CreateFromHardwareId(const wchar_t* hardwareId, const wchar_t* classGuid)
{
    if (!hardwareId)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    GUID searchClass{};
    if (classGuid)
    {
        UuidFromStringW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(classGuid)), &searchClass);
    }
    std::wstring instanceId;
    const DWORD result = FindByHardwareId(instanceId, hardwareId, classGuid ? &searchClass : nullptr);
    if (result != 0)
    {
        TRACE(4, PNP_TAG L"Could not create device from hardware ID %s (Class: \"%s\") - device not existing",
              hardwareId, classGuid ? classGuid : L"");
        // Callers that report the failure read why.
        SetLastError(result);
        return false;
    }
    m_instanceId = std::make_unique<wchar_t[]>(instanceId.size() + 1);
    std::memcpy(m_instanceId.get(), instanceId.c_str(), (instanceId.size() + 1) * sizeof(wchar_t));
    GUID instanceClass{};
    if (GetInstanceClassGuid(m_instanceId.get(), instanceClass) == 0)
    {
        m_classGuid = instanceClass;
    }
    return true;
}

bool CPnpDevice::Remove()
{
    if (!IsAttached())
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    CDeviceInfoList list(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    SP_DEVINFO_DATA data = EmptyDeviceInfoData();
    return list && OpenInstance(list.Get(), m_instanceId.get(), data) &&
           SetupDiRemoveDevice(list.Get(), &data) != FALSE;
}

bool CPnpDevice::Restart()
{
    if (!IsAttached())
    {
        return false;
    }
    CDeviceInfoList list(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!list)
    {
        TRACE(1, PNP_TAG L"ERROR! hDevInfo - invalid handle (0x%08X)!",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(list.Get())));
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    SP_DEVINFO_DATA data = EmptyDeviceInfoData();
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_PROPCHANGE;
    params.Scope = DICS_FLAG_CONFIGSPECIFIC;
    params.HwProfile = 0;
    if (!OpenInstance(list.Get(), m_instanceId.get(), data) ||
        !SetupDiSetClassInstallParamsW(list.Get(), &data, &params.ClassInstallHeader, sizeof(params)))
    {
        return false;
    }
    if (!SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, list.Get(), &data))
    {
        TRACE(1, PNP_TAG L"ERROR 0x%X! SetupDiCallClassInstaller FAILED!", GetLastError());
        return false;
    }
    TRACE(4, PNP_TAG L"SetupDiCallClassInstaller (DIF_PROPERTYCHANGE) State: %d %s!", DICS_PROPCHANGE, L"OK");
    return true;
}

bool RemoveDeviceByHardwareId(const wchar_t* hardwareId, const wchar_t* classGuid)
{
    CPnpDevice device;
    const bool found = device.CreateFromHardwareId(hardwareId, classGuid) ||
                       (classGuid && device.CreateFromHardwareId(hardwareId));
    return found && device.Remove();
}
