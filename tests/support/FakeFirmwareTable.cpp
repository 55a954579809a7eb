#include "FakeFirmwareTable.h"
#include "TestFiles.h"
#include <cstring>

namespace
{
constexpr DWORD kRsmbProvider = 0x52534D42;
CFakeFirmwareTable* g_activeTable = nullptr;
} // namespace

CFakeFirmwareTable::CFakeFirmwareTable(CFaultInjector& injector, std::vector<BYTE> rsmb)
    : m_rsmb(std::move(rsmb))
{
    g_activeTable = this;
    injector.ReplaceLookup("GetSystemFirmwareTable", &FakeGetSystemFirmwareTable);
}

CFakeFirmwareTable::~CFakeFirmwareTable()
{
    g_activeTable = nullptr;
}

UINT WINAPI CFakeFirmwareTable::FakeGetSystemFirmwareTable(DWORD provider, DWORD tableId, PVOID buffer,
                                                           DWORD size)
{
    CFakeFirmwareTable& self = *g_activeTable;
    ++self.m_calls;
    if (provider != kRsmbProvider || tableId != 0 || self.m_rsmb.empty())
    {
        SetLastError(ERROR_NOT_FOUND);
        return 0;
    }
    const DWORD needed = static_cast<DWORD>(self.m_rsmb.size());
    if (!buffer || size < needed)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return needed;
    }
    memcpy(buffer, self.m_rsmb.data(), needed);
    return needed;
}

std::vector<BYTE> RsmbData(BYTE major, BYTE minor, const std::vector<BYTE>& table)
{
    const DWORD length = static_cast<DWORD>(table.size());
    std::vector<BYTE> rsmb(8 + table.size(), 0);
    rsmb[1] = major;
    rsmb[2] = minor;
    memcpy(&rsmb[4], &length, sizeof(length));
    if (length)
    {
        memcpy(&rsmb[8], table.data(), length);
    }
    return rsmb;
}

std::wstring SmbiosTestDataDir()
{
    return BinPath(L"smbios");
}

std::vector<BYTE> SmbiosTestData(const std::wstring& name)
{
    return ReadFileBytes(SmbiosTestDataDir() + L"\\" + name + L".rsmb");
}
