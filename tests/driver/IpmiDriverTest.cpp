// CIpmiDriver against Wine's service control manager, registry and Setup API, with the
// stand-in ImbDrvNT.sys really started. SMBIOS tables with a type-38 structure, a failing
// registration and a successful device restart come from the fault layer.
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
#include <cwctype>
#include <setupapi.h>

namespace
{
const std::wstring kIpmiKey = L"SYSTEM\\CurrentControlSet\\Control\\IPMI";
const wchar_t kValue[] = L"SlaveAddressDetectionMethod";

// RSMB data: a type-38 structure of length bytes (none for 0) with the slave address at
// byte 06 as far as the length reaches, then the end-of-table structure.
std::vector<BYTE> Smbios(BYTE length, BYTE slave = 0x20)
{
    const BYTE type38[] = {38, length, 1, 0, 1, 0x20, slave};
    std::vector<BYTE> table(type38, type38 + std::min<size_t>(length, sizeof(type38)));
    table.resize(length ? length + 2u : 0u, 0); // and an empty string set
    table.insert(table.end(), {127, 4, 2, 0, 0, 0});
    return RsmbData(2, 7, table);
}

struct Probe : CIpmiDriver, CSMBios
{
    using CIpmiDriver::ReadSlaveAddress;
    using CIpmiDriver::SlaveAddress;
    using CSMBios::BuildStructureList;
};

bool SlaveValueSet()
{
    DWORD value = 0;
    return ReadDwordValue(kIpmiKey, kValue, value) && value == 1;
}

// Only the code under test sees the injected injector; the test's own calls reach Wine.
struct Injected
{
    CFaultInjector injector;
    CVirtualClock clock{injector};
    Injected() { clock.OnSleep(&LetServicesRun); }
};
} // namespace

TEST(IpmiDriver, InstallFollowsTheDecisionTableAndReregistersOnlyFromAnotherFolder)
{
    CTestDir dir;
    const std::wstring empty = dir / L"empty";
    CreateDirectoryW(empty.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(BinPath(L"ImbDrvNT.sys").c_str(), (dir / L"ImbDrvNT.sys").c_str(), FALSE));
    std::wstring upper = dir.Path();
    for (wchar_t& c : upper)
        c = towupper(c);
    std::vector<BYTE> lyingLength = Smbios(16);
    ++lyingLength[4];
    struct Row
    {
        const wchar_t* directory;
        std::vector<BYTE> rsmb;
        bool ipmiDevice;
        DWORD result;
        std::vector<std::wstring> lines;
    } rows[] = {
        {nullptr, Smbios(16), false, 87, {}},
        {L"", Smbios(16), false, 87, {}},
        {dir.Path().c_str(), lyingLength, false, 87, {L"ERROR! Failed to connect to SMBIOS!"}},
        {dir.Path().c_str(), Smbios(0), false, 87, {L"SMBIOS structure type 38 not found on system!"}},
        {dir.Path().c_str(),
         Smbios(16, 0x22),
         true,
         87,
         {L"type 38: Found IMB slave address 0x22 (34)", L"ACPI device found - no deviced driver needed!"}},
        {empty.c_str(),
         Smbios(16),
         false,
         ERROR_FILE_NOT_FOUND,
         {L"not yet registered - install it...", L"Driver installed successfully", L"  register driver event",
          L"ERROR 0x2! Failed to start IPMI device driver!\n", L"CSMBios (Disconnect): Disconnected"}},
        {dir.Path().c_str(),
         Smbios(16),
         false,
         0,
         {L"  current driver path = " + dir / L"ImbDrvNT.sys",
          L"                    :   desired driver path = " + empty + L"\\ImbDrvNT.sys",
          L"not registered in current directory - reregister driver...", L"Driver installed successfully",
          L"Start driver ImbDrvNT OK"}},
        {upper.c_str(),
         Smbios(16),
         false,
         0,
         {L"Device driver \"ImbDrvNT\" is already registered!",
          L"already registered - don't install it again", L"Start driver ImbDrvNT OK"}},
    };
    RemoveService(L"ImbDrvNT");
    for (const Row& row : rows)
    {
        std::unique_ptr<CTestDevice> device(row.ipmiDevice ? new CTestDevice({L"ACPI\\IPI0001"}) : nullptr);
        Injected faults;
        CFakeFirmwareTable firmware(faults.injector, row.rsmb);
        // Wine shows a driver whose file is missing as running for a moment.
        if (row.result == ERROR_FILE_NOT_FOUND)
            SCM_FAKE(faults.injector, StartServiceW, [](auto...) {
                SetLastError(ERROR_FILE_NOT_FOUND);
                return FALSE;
            });
        CTraceCapture trace;
        EXPECT_EQ(row.result, CIpmiDriver::Install(row.directory)) << trace.Text();
        EXPECT_TRUE(trace.InOrder(row.lines)) << trace.Text();
        EXPECT_EQ(row.result != 87, ServiceExists(L"ImbDrvNT"));
        const wchar_t* const moved = L"not registered in current directory - reregister driver...";
        EXPECT_EQ(std::count(row.lines.begin(), row.lines.end(), moved) == 1, trace.Contains(moved));
    }
    std::wstring imagePath, messageFiles;
    EXPECT_TRUE(ReadStringValue(L"SYSTEM\\CurrentControlSet\\Services\\ImbDrvNT", L"ImagePath", imagePath));
    EXPECT_EQ(dir / L"ImbDrvNT.sys", imagePath);
    EXPECT_TRUE(ReadStringValue(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\SYSTEM\\ImbDrvNT",
                                L"EventMessageFile", messageFiles));
    EXPECT_EQ(imagePath + L";%SYSTEMROOT%\\system32\\IoLogMsg.dll", messageFiles);

    // Removal deletes the slave address value whether or not the driver went, after a second.
    CTestKey ipmi(kIpmiKey);
    for (const DWORD expected : {DWORD{0}, DWORD{ERROR_SERVICE_DOES_NOT_EXIST}})
    {
        ipmi.SetDword(kValue, 1);
        Injected faults;
        CTraceCapture trace;
        EXPECT_EQ(expected, CIpmiDriver::Uninstall());
        EXPECT_FALSE(ServiceExists(L"ImbDrvNT"));
        EXPECT_FALSE(SlaveValueSet());
        EXPECT_EQ(1000u, faults.clock.Sleeps().back());
        EXPECT_EQ(expected != 0, trace.Contains(L"Delete ImbDrvNT driver failed!"));
    }
}

TEST(IpmiDriver, AFailingRegistrationIsTracedAndTheStartStillTried)
{
    CTestDir dir;
    CopyFileW(BinPath(L"ImbDrvNT.sys").c_str(), (dir / L"ImbDrvNT.sys").c_str(), FALSE);
    static DWORD error;
    for (const DWORD code : {DWORD{ERROR_SERVICE_EXISTS}, DWORD{ERROR_ACCESS_DENIED}})
    {
        error = code;
        RemoveService(L"ImbDrvNT");
        DeleteKeyTree(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\SYSTEM\\ImbDrvNT");
        Injected faults;
        CFakeFirmwareTable firmware(faults.injector, Smbios(16));
        // 1073: someone else registered it in the meantime.
        SCM_FAKE(faults.injector, CreateServiceW, [](SC_HANDLE scm, auto... rest) -> SC_HANDLE {
            if (error == ERROR_SERVICE_EXISTS)
                CloseServiceHandle(SCM_ORIGINAL(CreateServiceW)(scm, rest...));
            SetLastError(error);
            return nullptr;
        });
        CTraceCapture trace;
        EXPECT_EQ(code == ERROR_SERVICE_EXISTS ? 0u : DWORD{ERROR_SERVICE_DOES_NOT_EXIST},
                  CIpmiDriver::Install(dir.Path().c_str()));
        EXPECT_EQ(code == ERROR_SERVICE_EXISTS,
                  trace.InOrder({L"  driver already exists", L"  register driver event source...",
                                 L"Start driver ImbDrvNT OK"}));
        EXPECT_EQ(code != ERROR_SERVICE_EXISTS,
                  trace.InOrder({L"## ERROR 0x5! Failed to install IPMI driver!",
                                 L"could not be installed - do not register event source", L"Start driver"}));
        EXPECT_EQ(code == ERROR_SERVICE_EXISTS,
                  KeyExists(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\SYSTEM\\ImbDrvNT"));
    }
    CIpmiDriver::Uninstall();
}

TEST(IpmiDriver, RestartWritesTheSlaveAddressValueUnlessTheAddressIsTheDefault)
{
    struct Row
    {
        bool device, key, restarts;
        std::vector<BYTE> rsmb;
        UINT result;
        bool valueSet;
        std::wstring line;
    } rows[] = {
        {false, true, true, Smbios(16, 0x22), 0, false,
         L"supported on Windows Server 2008 or higher versions only"},
        {true, true, true, Smbios(16, 0x22), 1, true,
         L"Set registry value \"" + std::wstring(kValue) + L"\" in \"" + kIpmiKey + L"\""},
        {true, true, true, Smbios(16, 0x20), 1, false,
         L"SMBIOS struct type 38: Found IMB slave address 0x20"},
        {true, true, true, Smbios(0), 1, false, L"SMBIOS struct type 38 not found"},
        {true, true, true, Smbios(6, 0x22), 1, false, L"type 38 of 6 bytes holds no IMB slave address!"},
        {true, true, true, {}, 1, false, L"Restart device ACPI\\IPI0001 OK!"},
        {true, false, true, Smbios(16, 0x22), 1, false, L"Set registry value"},
        {true, true, false, Smbios(16, 0x22), 0, true, L"Restart device ACPI\\IPI0001 FAILED!"},
    };
    for (const Row& row : rows)
    {
        std::unique_ptr<CTestDevice> device(row.device ? new CTestDevice({L"ACPI\\IPI0001"}) : nullptr);
        std::unique_ptr<CTestKey> key(row.key ? new CTestKey(kIpmiKey) : nullptr);
        CFaultInjector injector;
        CFakeFirmwareTable firmware(injector, row.rsmb);
        // Wine's SetupDiSetClassInstallParamsW is a stub: the property change is answered here.
        if (row.restarts)
        {
            injector.Replace(
                "setupapi.dll", "SetupDiSetClassInstallParamsW",
                static_cast<decltype(&SetupDiSetClassInstallParamsW)>([](auto...) { return TRUE; }));
            injector.Replace(
                "setupapi.dll", "SetupDiCallClassInstaller",
                static_cast<decltype(&SetupDiCallClassInstaller)>(
                    [](DI_FUNCTION function, auto...) { return BOOL{function == DIF_PROPERTYCHANGE}; }));
        }
        CTraceCapture trace;
        EXPECT_EQ(row.result, moraCA_RestartMicrosoftIpmi(0)) << trace.Text();
        EXPECT_TRUE(trace.Contains(row.line)) << trace.Text();
        EXPECT_EQ(row.valueSet, SlaveValueSet());
        EXPECT_EQ(row.key, KeyExists(kIpmiKey));
    }
}

// A type-38 structure too short for byte 06, or cut off by the table's end, gives no
// address, and nothing past either is read: each table ends right before a no-access page.
TEST(IpmiDriver, TheSlaveAddressIsReadWithinItsStructureAndTheTable)
{
    const std::pair<std::vector<BYTE>, int> rows[] = {
        {{38, 7, 0, 0, 1, 0x20, 0x22, 0, 0}, 0x22},
        {{38, 6, 0, 0, 1, 0x20, 0, 0}, -1},
        {{38, 0x10, 0, 0, 1, 0x20, 0x22}, 0x22},
        {{38, 0x10, 0, 0, 1, 0x20}, -1},
        {{38, 2, 0, 0, 0, 0}, -1},
        {{38, 4, 0}, -2},
    };
    for (const auto& [table, expected] : rows)
    {
        CPageEndBuffer memory(table.size());
        Probe reader;
        reader.BuildStructureList(memory.Place(table), table.size());
        CTraceCapture trace;
        BYTE address = 0;
        const Probe::SlaveAddress outcome = Probe::ReadSlaveAddress(reader, address);
        EXPECT_EQ(expected == -2   ? Probe::SlaveAddress::Absent
                  : expected == -1 ? Probe::SlaveAddress::Unreadable
                                   : Probe::SlaveAddress::Found,
                  outcome);
        EXPECT_EQ(expected == -1, trace.Contains(L"## WARNING! SMBIOS structure type 38 of"));
        EXPECT_EQ(expected >= 0 ? expected : 0, address);
    }
}
