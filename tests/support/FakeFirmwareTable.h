#pragma once
#include "FaultInjection.h"
#include "TestFiles.h"

// The operating system's raw SMBIOS data for the code under test: its run-time lookup of
// GetSystemFirmwareTable finds a fake that answers provider 'RSMB' with these bytes
// (nothing at all while they are empty).
class CFakeFirmwareTable
{
  public:
    explicit CFakeFirmwareTable(CFaultInjector& injector, std::vector<BYTE> rsmb = {})
        : m_rsmb(std::move(rsmb))
    {
        s_active = this;
        injector.ReplaceLookup("GetSystemFirmwareTable", &Fake);
    }
    ~CFakeFirmwareTable() { s_active = nullptr; }

  private:
    static UINT WINAPI Fake(DWORD provider, DWORD tableId, PVOID buffer, DWORD size)
    {
        const std::vector<BYTE>& rsmb = s_active->m_rsmb;
        SetLastError(ERROR_NOT_FOUND);
        if (provider != 0x52534D42 /* 'RSMB' */ || tableId != 0 || rsmb.empty())
            return 0;
        if (buffer && size >= rsmb.size())
            std::copy(rsmb.begin(), rsmb.end(), static_cast<BYTE*>(buffer));
        return static_cast<UINT>(rsmb.size());
    }
    static inline CFakeFirmwareTable* s_active = nullptr;
    std::vector<BYTE> m_rsmb;
};

// Raw SMBIOS data as GetSystemFirmwareTable('RSMB') returns it: version and length, then
// the structure table.
inline std::vector<BYTE> RsmbData(BYTE major, BYTE minor, const std::vector<BYTE>& table)
{
    const size_t length = table.size();
    std::vector<BYTE> rsmb{
        0, major, minor, 0, BYTE(length), BYTE(length >> 8), BYTE(length >> 16), BYTE(length >> 24)};
    rsmb.reserve(rsmb.size() + length); // also spares GCC 12 a false array-bounds warning
    rsmb.insert(rsmb.end(), table.begin(), table.end());
    return rsmb;
}
// A table of the SMBIOS test data staged beside the test programs (smbios\NAME.rsmb).
inline std::vector<BYTE> SmbiosTestData(const std::wstring& name)
{
    return ReadFileBytes(BinPath(L"smbios\\" + name + L".rsmb"));
}
