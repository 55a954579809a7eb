#include "TestDevices.h"
#include "driver/CDeviceInfoList.h"
#include <gtest/gtest.h>

const GUID kSystemClassGuid = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::wstring CreateRootDevice(const std::vector<std::wstring>& hardwareIds)
{
    std::wstring list;
    for (const auto& id : hardwareIds)
        list += id + L'\0';
    list += L'\0';
    CDeviceInfoList devices(SetupDiCreateDeviceInfoList(&kSystemClassGuid, nullptr));
    SP_DEVINFO_DATA data = EmptyDeviceInfoData();
    wchar_t instanceId[MAX_PATH] = {};
    EXPECT_TRUE(SetupDiCreateDeviceInfoW(devices.Get(), L"System", &kSystemClassGuid, nullptr, nullptr,
                                         DICD_GENERATE_ID, &data) &&
                SetupDiSetDeviceRegistryPropertyW(devices.Get(), &data, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(list.data()),
                                                  DWORD(list.size() * sizeof(wchar_t))) &&
                SetupDiCallClassInstaller(DIF_REGISTERDEVICE, devices.Get(), &data) &&
                SetupDiGetDeviceInstanceIdW(devices.Get(), &data, instanceId, MAX_PATH, nullptr))
        << "error 0x" << std::hex << GetLastError();
    return instanceId;
}

bool RemoveDeviceInstance(const std::wstring& instanceId)
{
    CDeviceInfoList devices(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    SP_DEVINFO_DATA data = EmptyDeviceInfoData();
    return SetupDiOpenDeviceInfoW(devices.Get(), instanceId.c_str(), nullptr, 0, &data) &&
           SetupDiRemoveDevice(devices.Get(), &data);
}

std::vector<std::wstring> DevicesWithHardwareId(const std::wstring& hardwareId)
{
    std::vector<std::wstring> found;
    CDeviceInfoList devices(
        SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    SP_DEVINFO_DATA data = EmptyDeviceInfoData();
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices.Get(), index, &data); ++index)
    {
        wchar_t ids[4096] = {}, instanceId[MAX_PATH] = {};
        SetupDiGetDeviceRegistryPropertyW(devices.Get(), &data, SPDRP_HARDWAREID, nullptr,
                                          reinterpret_cast<BYTE*>(ids), sizeof(ids) - 4, nullptr);
        for (const wchar_t* id = ids; *id; id += wcslen(id) + 1)
            if (lstrcmpiW(id, hardwareId.c_str()) == 0 &&
                SetupDiGetDeviceInstanceIdW(devices.Get(), &data, instanceId, MAX_PATH, nullptr))
                found.push_back(instanceId);
    }
    return found;
}
