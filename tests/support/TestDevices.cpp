#include "TestDevices.h"
#include "TestFiles.h"
#include "driver/CDeviceInfoList.h"
#include <gtest/gtest.h>
#include <cfgmgr32.h>
#include <setupapi.h>

const GUID kSystemClassGuid = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

namespace
{
std::wstring InstanceIdOf(HDEVINFO list, SP_DEVINFO_DATA& data)
{
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    return SetupDiGetDeviceInstanceIdW(list, &data, id, MAX_DEVICE_ID_LEN + 1, nullptr) ? id : L"";
}

bool ListHolds(const std::vector<wchar_t>& list, const std::wstring& wanted)
{
    for (const wchar_t* entry = list.data(); *entry; entry += wcslen(entry) + 1)
        if (lstrcmpiW(entry, wanted.c_str()) == 0)
            return true;
    return false;
}
} // namespace

std::wstring CreateRootDevice(const std::vector<std::wstring>& hardwareIds, const GUID& classGuid,
                              const wchar_t* className)
{
    std::wstring multi;
    for (const auto& id : hardwareIds)
        multi += id + L'\0';
    multi += L'\0';
    CDeviceInfoList list(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    SP_DEVINFO_DATA data = EmptyDeviceInfoData();
    const bool created = list &&
                         SetupDiCreateDeviceInfoW(list.Get(), className, &classGuid, nullptr, nullptr,
                                                  DICD_GENERATE_ID, &data) &&
                         SetupDiSetDeviceRegistryPropertyW(list.Get(), &data, SPDRP_HARDWAREID,
                                                           reinterpret_cast<const BYTE*>(multi.data()),
                                                           DWORD(multi.size() * sizeof(wchar_t))) &&
                         SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list.Get(), &data);
    EXPECT_TRUE(created) << "root device for " << Narrow(hardwareIds.empty() ? L"" : hardwareIds[0])
                         << ": error 0x" << std::hex << GetLastError();
    return created ? InstanceIdOf(list.Get(), data) : L"";
}

bool RemoveDeviceInstance(const std::wstring& instanceId)
{
    if (instanceId.empty())
        return false;
    CDeviceInfoList list(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    SP_DEVINFO_DATA data = EmptyDeviceInfoData();
    return list && SetupDiOpenDeviceInfoW(list.Get(), instanceId.c_str(), nullptr, 0, &data) &&
           SetupDiRemoveDevice(list.Get(), &data);
}

std::vector<std::wstring> DevicesWithHardwareId(const std::wstring& hardwareId)
{
    std::vector<std::wstring> found;
    CDeviceInfoList list(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    SP_DEVINFO_DATA data = EmptyDeviceInfoData();
    for (DWORD index = 0; list && SetupDiEnumDeviceInfo(list.Get(), index, &data); ++index)
    {
        DWORD bytes = 0;
        SetupDiGetDeviceRegistryPropertyW(list.Get(), &data, SPDRP_HARDWAREID, nullptr, nullptr, 0, &bytes);
        std::vector<wchar_t> ids(bytes / sizeof(wchar_t) + 2, L'\0');
        if (bytes &&
            SetupDiGetDeviceRegistryPropertyW(list.Get(), &data, SPDRP_HARDWAREID, nullptr,
                                              reinterpret_cast<BYTE*>(ids.data()), bytes, nullptr) &&
            ListHolds(ids, hardwareId))
            found.push_back(InstanceIdOf(list.Get(), data));
    }
    return found;
}

size_t RemoveDevicesWithHardwareId(const std::wstring& hardwareId)
{
    size_t removed = 0;
    for (const auto& id : DevicesWithHardwareId(hardwareId))
        removed += RemoveDeviceInstance(id);
    return removed;
}

GUID DeviceClass(const std::wstring& instanceId)
{
    CDeviceInfoList list(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    SP_DEVINFO_DATA data = EmptyDeviceInfoData();
    if (list && SetupDiOpenDeviceInfoW(list.Get(), instanceId.c_str(), nullptr, 0, &data))
        return data.ClassGuid;
    return GUID{};
}
