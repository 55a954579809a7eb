// CIpmiDriver against Wine's service control manager, registry and Setup API, the stand-in
// ImbDrvNT.sys really started. Type-38 tables, failing registrations and starts, and the
// device restart Wine cannot do come from the fault layer.
#include "CustomActions.h"
#include "driver/CIpmiDriver.h"
#include "firmware/CSMBios.h"
#include "support/FakeFirmwareTable.h"
#include "support/FakeScm.h"
#include "support/PageEndBuffer.h"
#include "support/TestDevices.h"
#include "support/TestServices.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>
#include <setupapi.h>

namespace
{
const std::wstring kIpmiKey = L"SYSTEM\\CurrentControlSet\\Control\\IPMI";
// Answers of CreateServiceW and StartServiceW (0: Wine's) and of the device restart.
DWORD g_createError, g_startError, g_restarts;

// RSMB data: for each slave address a type-38 structure of length bytes (none for 0) holding
// it at byte 06 as far as its length reaches, then the end of the table; lie is added to the
// table's length.
std::vector<BYTE> Smbios(BYTE length, const std::vector<BYTE>& slaves = {0x20}, BYTE lie = 0)
{
    std::vector<BYTE> table;
    for (size_t index = 0; length && index < slaves.size(); ++index)
    {
        const BYTE type38[] = {38, length, BYTE(index + 1), 0, 1, 0x20, slaves[index]};
        table.insert(table.end(), type38, type38 + std::min<size_t>(length, sizeof(type38)));
        table.resize((index + 1) * (length + 2u), 0);
    }
    table.insert(table.end(), {127, 4, 2, 0, 0, 0});
    std::vector<BYTE> rsmb = RsmbData(2, 7, table);
    rsmb[4] += lie; // the table's length
    return rsmb;
}

struct Probe : CIpmiDriver, CSMBios
{
    using CIpmiDriver::ReadSlaveAddress;
    using CSMBios::BuildStructureList;
};
} // namespace

// Each row runs the installation, then the restart action.
TEST(IpmiDriver, FollowsTheDecisionTableReregistersFromAnotherFolderAndReadsWithinTheTable)
{
    CTestDir dir;
    DWORD value = 0;
    const std::wstring d = dir.Path(), e = dir / L"elsewhere";
    const std::wstring upper = CharUpperW(&std::wstring(d)[0]);
    CopyFileW(BinPath(L"ImbDrvNT.sys").c_str(), (dir / L"ImbDrvNT.sys").c_str(), FALSE);
    const struct
    {
        std::wstring dir;
        std::vector<BYTE> rsmb;
        DWORD device, createError, startError, installed, restarted, valueSet;
        std::vector<std::wstring> lines;
    } rows[] = {
        {L"", Smbios(16), 0, 0, 0, 87, 0, 0, {L"Windows Server 2008 or higher versions only"}},
        {d, Smbios(16, {0x20}, 1), 1, 0, 0, 87, 1, 0, {L"Failed to connect to SMBIOS!", L"0001 OK!"}},
        {d, Smbios(0), 1, 0, 0, 87, 1, 0, {L"type 38 not found on system!", L"struct type 38 not found"}},
        {d, Smbios(16, {0x22}), 1, 0, 0, 87, 1, 1, {L"no deviced driver", L"in \"SYSTEM\\", L"0001 OK!"}},
        {d, Smbios(16), 1, 0, 0, 87, 1, 0, {L"(32)", L"ACPI device ACPI", L"address 0x20", L"0001 OK!"}},
        {d, Smbios(6), 1, 0, 0, 87, 1, 0, {L"of 6 bytes holds no IMB", L"no deviced", L"6 bytes", L"OK!"}},
        {d, Smbios(16, {0x22}), 1, 0, 0, 87, 0, 1, {L"Set registry value", L"0001 FAILED!"}},
        {e, Smbios(16, {0x22}), 0, 5, 0, 1060, 0, 0, {L"0x22 (34)", L"0x5! Failed to", L"not register"}},
        {e, Smbios(16), 0, 1073, 2, 2, 0, 0, {L"already exists", L"event source...", L"0x2! Failed"}},
        {d, Smbios(16), 0, 0, 0, 0, 0, 0, {L"reregister driver...", L"installed", L"event source..."}},
        {upper, Smbios(16), 0, 0, 0, 0, 0, 0, {L"desired driver path = " + d + L"\\Imb", L"don't install"}},
    };
    for (const auto& row : rows)
    {
        std::unique_ptr<CTestDevice> device(row.device ? new CTestDevice({L"ACPI\\IPI0001"}) : nullptr);
        CTestKey key(kIpmiKey);
        CFaultInjector injector;
        CVirtualClock clock(injector);
        clock.OnSleep(&LetServicesRun);
        CFakeFirmwareTable firmware(injector, row.rsmb);
        g_createError = row.createError, g_startError = row.startError, g_restarts = row.restarted;
        // 1073: someone else registered the driver meanwhile.
        SCM_FAKE(injector, CreateServiceW, [](SC_HANDLE scm, auto... rest) {
            SC_HANDLE created = g_createError % 1073 ? nullptr : ORIGINAL(CreateServiceW)(scm, rest...);
            return g_createError ? (CloseServiceHandle(created), SetLastError(g_createError), nullptr)
                                 : created;
        });
        SCM_FAKE(injector, StartServiceW, [](SC_HANDLE service, auto... rest) {
            return g_startError ? (SetLastError(g_startError), FALSE)
                                : ORIGINAL(StartServiceW)(service, rest...);
        });
        FAKE_IMPORT(injector, "setupapi.dll", SetupDiSetClassInstallParamsW,
                    [](auto...) { return BOOL(g_restarts); });
        FAKE_IMPORT(injector, "setupapi.dll", SetupDiCallClassInstaller,
                    [](auto...) { return BOOL(g_restarts); });
        CTraceCapture trace;
        EXPECT_EQ(row.installed, CIpmiDriver::Install(row.dir.c_str()));
        EXPECT_EQ(row.restarted, moraCA_RestartMicrosoftIpmi(0));
        EXPECT_TRUE(trace.InOrder(row.lines)) << trace.Text();
        EXPECT_EQ(row.installed != 87 && row.createError != 5, ServiceExists(L"ImbDrvNT"));
        EXPECT_EQ(row.valueSet,
                  ReadDwordValue(kIpmiKey, L"SlaveAddressDetectionMethod", value) && value == 1);
        if (&row == &rows[10]) // the removal deletes the value, a second after the driver went
        {
            key.SetDword(L"SlaveAddressDetectionMethod", 1);
            EXPECT_EQ(0u, CIpmiDriver::Uninstall());
            EXPECT_FALSE(ServiceExists(L"ImbDrvNT"));
            EXPECT_FALSE(ReadDwordValue(kIpmiKey, L"SlaveAddressDetectionMethod", value));
            EXPECT_EQ(1000u, clock.Sleeps().back());
        }
    }

    // A structure running past the table's end, which ends before a no-access page.
    const BYTE cut[] = {38, 16, 0, 0, 1, 0x20};
    CPageEndBuffer memory(sizeof(cut));
    Probe reader;
    reader.BuildStructureList(memory.Place(cut, sizeof(cut)), sizeof(cut));
    BYTE address = 0;
    EXPECT_EQ(2, int(Probe::ReadSlaveAddress(reader, address))); // unreadable
}

// The two actions at the level a support engineer reads, where the system has its own IPMI
// device and two type-38 structures (the first counts): the device is restarted after the
// slave address value is written, and the removal deletes the value though ImbDrvNT never was.
TEST(IpmiDriver, RegDriverRestartsTheSystemDeviceAndUnregDriverDeletesTheSlaveAddressValue)
{
    CTestDevice device({L"ACPI\\IPI0001"});
    CTestKey key(kIpmiKey);
    CFaultInjector injector;
    CVirtualClock clock(injector);
    CFakeFirmwareTable firmware(injector, Smbios(16, {0x22, 0x20}));
    FAKE_IMPORT(injector, "setupapi.dll", SetupDiSetClassInstallParamsW, [](auto...) { return TRUE; });
    FAKE_IMPORT(injector, "setupapi.dll", SetupDiCallClassInstaller, [](auto...) { return TRUE; });
    CTraceCapture trace(2);
    DWORD value = 0;
    EXPECT_EQ(0u, vrxCA_RegDriver(0));
    EXPECT_TRUE(ReadDwordValue(kIpmiKey, L"SlaveAddressDetectionMethod", value));
    EXPECT_EQ(0u, vrxCA_UnregDriver(0));
    EXPECT_FALSE(ReadDwordValue(kIpmiKey, L"SlaveAddressDetectionMethod", value));
    EXPECT_TRUE(
        trace.InOrder({L"Install Halbx driver", L"address 0x22 (34)", L"found - no deviced driver needed!",
                       L"Restart device ACPI\\IPI0001 OK!", L"Remove Halb3 driver",
                       L"Delete ImbDrvNT driver failed!", L"ORBI driver(s) are not installed"}))
        << trace.Text();
    EXPECT_EQ(L"", trace.FirstFound({L"requires Halb2", L"Use Halb2", L"Start Halb driver", L"Found ACPI",
                                     L"Set registry value", L"Did not remove", L"driver deinstallation"}));
}
