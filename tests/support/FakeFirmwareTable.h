#pragma once
#include "FaultInjection.h"
#include <string>
#include <vector>

// The operating system's raw SMBIOS data for the code under test: its run-time lookup of
// GetSystemFirmwareTable finds a fake that answers provider 'RSMB' with these bytes
// (nothing at all while they are empty).
class CFakeFirmwareTable
{
  public:
    explicit CFakeFirmwareTable(CFaultInjector& injector, std::vector<BYTE> rsmb = {});
    ~CFakeFirmwareTable();
    CFakeFirmwareTable(const CFakeFirmwareTable&) = delete;
    CFakeFirmwareTable& operator=(const CFakeFirmwareTable&) = delete;

    void Serve(std::vector<BYTE> rsmb) { m_rsmb = std::move(rsmb); }
    unsigned Calls() const { return m_calls; }

  private:
    static UINT WINAPI FakeGetSystemFirmwareTable(DWORD provider, DWORD tableId, PVOID buffer, DWORD size);

    std::vector<BYTE> m_rsmb;
    unsigned m_calls = 0;
};

// Raw SMBIOS data as GetSystemFirmwareTable('RSMB') returns it: version and length, then
// the structure table.
std::vector<BYTE> RsmbData(BYTE major, BYTE minor, const std::vector<BYTE>& table);
// A table of the SMBIOS test data staged beside the test programs (smbios\NAME.rsmb).
std::vector<BYTE> SmbiosTestData(const std::wstring& name);
std::wstring SmbiosTestDataDir();
