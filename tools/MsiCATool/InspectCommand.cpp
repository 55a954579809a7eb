#include "InspectCommand.h"
#include "util/PathJoin.h"
#include "CReport.h"
#include "ErrorText.h"
#include "driver/CDriverInstaller.h"
#include "driver/CHalbDriver.h"
#include "driver/CIpmiDriver.h"
#include "driver/CPnpDevice.h"
#include "extmod/CExtensionModuleConf.h"
#include "extmod/KvqAgentLocations.h"
#include "extmod/OldModuleSettings.h"
#include "firmware/CSMBios.h"
#include "firmware/HexDump.h"
#include "trace/CTrace.h"
#include "util/CFileVersionInfo.h"
#include "util/COSVersion.h"
#include "util/CRegistryKey.h"
#include "util/CUniqueHandle.h"
#include "util/GuardedCall.h"
#include "util/ProductLocations.h"
#include "util/StringFormat.h"
#include <algorithm>
#include <cstring>
#include <memory>

namespace
{
constexpr BYTE kIpmiDeviceInformation = 38;
const wchar_t kIpmiHardwareId[] = L"ACPI\\IPI0001";

bool FileExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring Hex(unsigned value, int digits)
{
    std::wstring text;
    FormatString(text, L"0x%0*X", digits, value);
    return text;
}

void AddLocations(CReport& report, std::wstring& fileRoot)
{
    CReport& section = report.Object(L"product locations");
    LocationSource source = LocationSource::Value;
    std::wstring text;
    GetSentrelRegistryKey(text, source);
    section.Object(L"core registry key")
        .Set(L"key", L"HKLM\\" + text)
        .Set(L"from", source == LocationSource::Value ? L"value \"Sentrel\" of the UUID key"
                                                      : L"fallback: the UUID key has no \"Sentrel\" value");
    GetFileRoot(fileRoot, source);
    section.Object(L"installation folder")
        .Set(L"path", fileRoot)
        .Set(L"from", source == LocationSource::Value
                          ? L"value \"FileRoot\" of the core key's Setup"
                          : L"process folder: no \"FileRoot\" value, so this is the tool's folder; an "
                            L"installation gets the installer host's folder instead");
    GetDataRoot(text, source);
    section.Object(L"data folder")
        .Set(L"path", text)
        .Set(L"from", source == LocationSource::Value ? L"value \"DataRoot\" of the core key's DATA"
                      : source == LocationSource::Fallback
                          ? L"fallback: the installation folder's Data"
                          : L"temporary folder: no \"DataRoot\" value and no "
                            L"Data folder in the installation folder");
    GetTempDirectory(text);
    section.Object(L"temporary folder")
        .Set(L"path", text)
        .Set(L"from", L"GetTempPath of this user; the installer's deferred actions run as LocalSystem and "
                      L"may get another");
    KvqAgentLocations kvq;
    ReadKvqAgentLocations(kvq, source);
    section.Object(L"KVQ agent folder")
        .Set(L"path",
             kvq.fileRoot.empty() ? L"(none: no \"FileRoot\" value, the KVQ step is skipped)" : kvq.fileRoot)
        .Set(L"registry key", L"HKLM\\" + kvq.setupKey)
        .Set(L"from", source == LocationSource::Value ? L"value \"KVQAgent\" of the UUID key"
                                                      : L"fallback: the UUID key has no \"KVQAgent\" value");
}

std::wstring ProductType(BYTE type)
{
    switch (type)
    {
    case VER_NT_WORKSTATION:
        return L"workstation";
    case VER_NT_DOMAIN_CONTROLLER:
        return L"domain controller";
    case VER_NT_SERVER:
        return L"server";
    default:
        return std::to_wstring(type);
    }
}

void AddWindows(CReport& report, const std::wstring& fileRoot)
{
    CReport& section = report.Object(L"windows");
    COSVersion version;
    if (version.Retrieve())
    {
        std::wstring text;
        FormatString(text, L"%u.%u.%u", version.dwMajorVersion, version.dwMinorVersion,
                     version.dwBuildNumber);
        section.Set(L"version", text).Set(L"product type", ProductType(version.wProductType));
    }
    else
    {
        section.Set(L"version", L"unknown: " + ErrorText(GetLastError()));
    }
    const int generation = CHalbDriver::GetDriverGeneration();
    CReport& board = section.Object(L"board driver");
    board.Set(L"generation", static_cast<ULONGLONG>(generation));
    if (const HalbDriverIds* ids = CHalbDriver::IdsOfGeneration(generation))
    {
        const std::wstring inf = JoinPath(fileRoot, ids->infFileName);
        board.Set(L"driver", ids->driverName).Set(L"INF file", inf).Set(L"INF file present", FileExists(inf));
    }
    else
    {
        board.Set(L"driver", L"none: unsupported Windows version, no board driver would be installed");
    }
}

void AddDevice(CReport& list, const std::wstring& name, const wchar_t* hardwareId)
{
    std::wstring instance;
    const DWORD result = CPnpDevice::FindByHardwareId(instance, hardwareId);
    CReport& item =
        list.Item().Set(L"device", name).Set(L"hardware id", hardwareId).Set(L"present", result == 0);
    if (result == 0)
    {
        item.Set(L"instance id", instance);
    }
    else if (result != ERROR_NO_DATA)
    {
        item.Set(L"search failed", ErrorText(result));
    }
}

void AddDevices(CReport& report)
{
    CReport& list = report.Array(L"devices");
    const wchar_t* HalbDriverIds::*const kHardwareIds[] = {
        &HalbDriverIds::biosHardwareId, &HalbDriverIds::busIoHardwareId, &HalbDriverIds::smbusHardwareId};
    const wchar_t* const kNames[] = {L" BIOS", L" bus I/O", L" SMBus"};
    for (int generation : {3, 2})
    {
        const HalbDriverIds* ids = CHalbDriver::IdsOfGeneration(generation);
        for (size_t i = 0; i < 3; ++i)
        {
            AddDevice(list, ids->driverName + std::wstring(kNames[i]), ids->*kHardwareIds[i]);
        }
    }
    AddDevice(list, L"Windows IPMI", kIpmiHardwareId);
    AddDevice(list, L"obsolete ORBI", L"Root\\PlxOrbi");
}

std::wstring ServiceState(SC_HANDLE database, const wchar_t* name)
{
    if (!database)
    {
        return L"unknown: " + ErrorText(GetLastError());
    }
    CServiceHandle service(OpenServiceW(database, name, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    if (!service || !QueryServiceStatus(service.Get(), &status))
    {
        const DWORD error = GetLastError();
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? L"not registered" : L"unknown: " + ErrorText(error);
    }
    static const wchar_t* const kStates[] = {
        L"?",       L"stopped",          L"start pending", L"stop pending",
        L"running", L"continue pending", L"pause pending", L"paused"};
    return status.dwCurrentState < ARRAYSIZE(kStates) ? kStates[status.dwCurrentState]
                                                      : std::to_wstring(status.dwCurrentState);
}

void AddServices(CReport& report)
{
    CReport& list = report.Array(L"services");
    CServiceHandle database(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    for (const wchar_t* name : {L"SntSvc", L"ImbDrvNT", L"Halb"})
    {
        CReport& item = list.Item().Set(L"service", name).Set(L"state", ServiceState(database.Get(), name));
        CDriverInstaller installer;
        std::wstring path;
        if (installer.GetImagePath(name, path))
        {
            item.Set(L"image path", path);
        }
    }
}

std::wstring SmbiosSource(const std::vector<BYTE>& header)
{
    if (header.size() >= 4 && memcmp(header.data(), "UEFI", 4) == 0)
    {
        return L"operating system (GetSystemFirmwareTable)";
    }
    if (header.size() >= 4 && memcmp(header.data(), "_SM_", 4) == 0)
    {
        return L"BIOS shadow memory (through the board driver's BIOS device)";
    }
    return L"none: no SMBIOS data found";
}

void AddStructureList(CReport& section, const CSMBios& smbios)
{
    std::vector<const BYTE*> structures;
    for (const auto& entry : smbios.StructuresByType())
    {
        structures.insert(structures.end(), entry.second.begin(), entry.second.end());
    }
    std::sort(structures.begin(), structures.end());
    CReport& list = section.Array(L"structures");
    const BYTE* end = smbios.Table().data() + smbios.Table().size();
    for (const BYTE* structure : structures)
    {
        CReport& item = list.Item().Set(L"type", static_cast<ULONGLONG>(structure[0]));
        // The walk indexes a structure before it checks its header against the table's end.
        if (end - structure >= 4)
        {
            item.Set(L"handle", Hex(structure[2] | structure[3] << 8, 4))
                .Set(L"length", static_cast<ULONGLONG>(structure[1]));
        }
    }
}

CIpmiDriver::SlaveAddress AddType38(CReport& section, const CSMBios& smbios, bool connected, BYTE& address)
{
    CReport& ipmi = section.Object(L"type 38 (IPMI device information)");
    const BYTE* structure = smbios.FindStructure(kIpmiDeviceInformation);
    ipmi.Set(L"present", structure != nullptr);
    if (!connected || !structure)
    {
        return CIpmiDriver::SlaveAddress::Absent;
    }
    const size_t available = static_cast<size_t>(smbios.Table().data() + smbios.Table().size() - structure);
    const size_t length = available > 1 ? std::min<size_t>(structure[1], available) : available;
    if (available >= 4)
    {
        ipmi.Set(L"handle", Hex(structure[2] | structure[3] << 8, 4));
    }
    ipmi.Set(L"length", static_cast<ULONGLONG>(length)).Set(L"bytes", HexDump(structure, length, false));
    const CIpmiDriver::SlaveAddress slave = CIpmiDriver::ReadSlaveAddress(smbios, address);
    ipmi.Set(L"slave address", slave == CIpmiDriver::SlaveAddress::Found
                                   ? Hex(address, 2)
                                   : std::wstring(L"unreadable: the structure is too short to hold it"));
    return slave;
}

// The IPMI steps of the driver registration, decided by the same checks in the same order.
void AddIpmiDecisions(CReport& report, const std::wstring& fileRoot, bool connected,
                      CIpmiDriver::SlaveAddress slave, BYTE address)
{
    using SlaveAddress = CIpmiDriver::SlaveAddress;
    const bool ipmiPresent = CIpmiDriver::IsMicrosoftIpmiPresent();
    CReport& decisions = report.Object(L"vrxCA_RegDriver would");

    CReport& install = decisions.Object(L"install ImbDrvNT");
    const bool needed = !fileRoot.empty() && connected && CIpmiDriver::NeedsImbDrvNT(slave, ipmiPresent);
    install.Set(L"decision", needed);
    if (fileRoot.empty())
    {
        install.Set(L"because", L"there is no installation folder");
    }
    else if (!connected)
    {
        install.Set(L"because", L"no SMBIOS data could be read");
    }
    else if (slave == SlaveAddress::Absent)
    {
        install.Set(L"because", L"SMBIOS has no type-38 structure: no IPMI controller is announced");
    }
    else if (!needed)
    {
        install.Set(L"because", L"the operating system has its own IPMI device ACPI\\IPI0001");
    }
    else
    {
        const std::wstring driver = JoinPath(fileRoot, L"ImbDrvNT.sys");
        std::wstring registered;
        CDriverInstaller installer;
        const bool hasPath = installer.GetImagePath(L"ImbDrvNT", registered);
        install.Set(L"because", L"SMBIOS announces an IPMI controller and ACPI\\IPI0001 is absent")
            .Set(L"driver file", driver)
            .Set(L"driver file present", FileExists(driver))
            .Set(L"steps", !hasPath ? L"register the service and its event source, then start it"
                           : lstrcmpiW(registered.c_str(), driver.c_str()) == 0
                               ? L"already registered from this folder: only start it"
                               : L"registered from " + registered +
                                     L": unregister, register from the installation folder, then start");
    }

    CReport& value = decisions.Object(L"write SlaveAddressDetectionMethod");
    bool write = ipmiPresent && connected && CIpmiDriver::NeedsSlaveAddressDetection(slave, address);
    CRegistryKey key;
    const bool keyPresent =
        key.Open(CIpmiDriver::kIpmiKey, KEY_QUERY_VALUE | KEY_WOW64_64KEY) == ERROR_SUCCESS;
    key.Close();
    const wchar_t* because = L"the slave address is not the default 0x20";
    if (!ipmiPresent)
    {
        because = L"ACPI\\IPI0001 is absent: the restart step ends before";
    }
    else if (!connected)
    {
        because = L"no SMBIOS data could be read";
    }
    else if (slave == SlaveAddress::Absent)
    {
        because = L"SMBIOS has no type-38 structure";
    }
    else if (slave == SlaveAddress::Unreadable)
    {
        because = L"the type-38 structure holds no slave address";
    }
    else if (!write)
    {
        because = L"the slave address is the default 0x20";
    }
    else if (!keyPresent)
    {
        write = false;
        because = L"the slave address is not 0x20, but the key is absent and is never created";
    }
    value.Set(L"decision", write)
        .Set(L"because", because)
        .Set(L"key", std::wstring(L"HKLM\\") + CIpmiDriver::kIpmiKey + (keyPresent ? L"" : L" (absent)"));

    decisions.Object(L"restart the IPMI device")
        .Set(L"decision", ipmiPresent)
        .Set(L"because", ipmiPresent ? L"ACPI\\IPI0001 is present" : L"ACPI\\IPI0001 is absent");
}

void AddSmbios(CReport& report, const std::wstring& fileRoot, bool listStructures)
{
    CSMBios smbios;
    const bool connected = smbios.Connect();
    CReport& section = report.Object(L"SMBIOS");
    section.Set(L"source", SmbiosSource(smbios.Header())).Set(L"structure list built", connected);
    if (!smbios.LastError().empty())
    {
        section.Set(L"shadow memory search", smbios.LastError());
    }
    if (!smbios.Table().empty())
    {
        std::wstring revision;
        FormatString(revision, L"%u.%u", smbios.MajorRevision(), smbios.MinorRevision());
        section.Set(L"revision", revision)
            .Set(L"structure count", smbios.StructureCount())
            .Set(L"structures indexed", static_cast<ULONGLONG>(smbios.IndexedStructures()))
            .Set(L"table bytes", static_cast<ULONGLONG>(smbios.Table().size()));
    }
    if (listStructures)
    {
        AddStructureList(section, smbios);
    }
    BYTE address = 0;
    const CIpmiDriver::SlaveAddress slave = AddType38(section, smbios, connected, address);
    AddIpmiDecisions(report, fileRoot, connected, slave, address);
    smbios.Disconnect();
}

// Read from the export table without running any of the module's code.
bool ExportsSetupAction(const std::wstring& path)
{
    CModuleHandle image(
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE));
    if (!image)
    {
        return false;
    }
    // The loader marks an image mapped as a resource in the handle's low bits.
    const BYTE* base =
        reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(image.Get()) & ~ULONG_PTR(3));
    volatile bool found = false;
    Guarded([&] {
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& directory =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        if (nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC || directory.VirtualAddress == 0)
        {
            return;
        }
        const auto* exports =
            reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
        const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
        for (DWORD i = 0; i < exports->NumberOfNames && !found; ++i)
        {
            found = strcmp(reinterpret_cast<const char*>(base + names[i]), "EM_SetupAction") == 0;
        }
    });
    return found;
}

// The backup action's own saving for a module in run mode 5, by the action's own rules.
std::wstring SpecialBackup(const std::wstring& module, bool hasEntry, const VS_FIXEDFILEINFO* fixed)
{
    OldModuleSetting setting{nullptr, false};
    if (!hasEntry)
    {
        setting = GetOldModuleSetting(module, false);
    }
    else if (!fixed)
    {
        return L"none: its version cannot be read";
    }
    else if (SavesOwnSettings(fixed->dwFileVersionMS))
    {
        return L"none: newer than 7.10, it saves its settings itself";
    }
    else
    {
        setting = GetOldModuleSetting(module, true);
    }
    if (!setting.name)
    {
        return L"none";
    }
    return std::wstring(L"applies: the action saves the data folder's ") +
           (setting.isFolder ? L"folder " : L"file ") + setting.name;
}

void AddModule(CReport& item, const std::wstring& fileRoot, const std::wstring& module, bool backupMode)
{
    // The loader supplies ".dll" for a name without an extension.
    const size_t name = module.find_last_of(L"\\/");
    const bool hasExtension = module.find(L'.', name == std::wstring::npos ? 0 : name) != std::wstring::npos;
    const std::wstring path = JoinPath(fileRoot, module + (hasExtension ? L"" : L".dll"));
    item.Set(L"module", module).Set(L"file", path);
    if (!FileExists(path))
    {
        item.Set(L"present", false).Set(L"note", L"the actions fail to load it and go on with the next");
        return;
    }
    CFileVersionInfo version;
    VS_FIXEDFILEINFO fixed{};
    const bool hasVersion = version.Load(path.c_str()) && version.QueryFixedFileInfo(fixed);
    std::wstring text = L"none";
    if (hasVersion)
    {
        FormatString(text, L"%u.%u.%u.%u", HIWORD(fixed.dwFileVersionMS), LOWORD(fixed.dwFileVersionMS),
                     HIWORD(fixed.dwFileVersionLS), LOWORD(fixed.dwFileVersionLS));
    }
    const bool hasEntry = ExportsSetupAction(path);
    item.Set(L"file version", text).Set(L"exports EM_SetupAction", hasEntry);
    if (backupMode)
    {
        item.Set(L"special backup", SpecialBackup(module, hasEntry, hasVersion ? &fixed : nullptr));
    }
}

void AddModules(CReport& report, const std::wstring& fileRoot)
{
    CReport& section = report.Object(L"extension modules");
    const std::wstring path = JoinPath(fileRoot, L"Module.ini");
    CExtensionModuleConf conf;
    const bool opened = conf.Open(path.c_str());
    section.Set(L"Module.ini", path).Set(L"present", opened);
    CReport& modes = section.Array(L"run modes");
    for (int mode : {0, 1, 5})
    {
        ModuleList modules;
        conf.BuildModuleList(modules, mode);
        CReport& item = modes.Item().Set(L"run mode", static_cast<ULONGLONG>(mode));
        item.Set(L"backup", mode == 5 ? L"each module backs up its own data"
                                      : L"the data folder is copied to the temporary folder; modules are "
                                        L"called by restore, convert and cleanup only");
        CReport& list = item.Array(L"modules");
        for (const std::wstring& module : modules)
        {
            AddModule(list.Item(), fileRoot, module, mode == 5);
        }
    }
}
} // namespace

std::wstring InspectText(bool json, bool listStructures)
{
    // The library's code traces as it goes; what a machine has configured must not be written to.
    g_Trace.Silence();

    CReport report;
    std::wstring fileRoot;
    AddLocations(report, fileRoot);
    AddWindows(report, fileRoot);
    AddDevices(report);
    AddServices(report);
    AddSmbios(report, fileRoot, listStructures);
    AddModules(report, fileRoot);
    return json ? report.Json()
                : L"MsiCA inspect: what the driver and extension-module actions would decide on this machine "
                  L"(nothing was changed)\r\n\r\n" +
                      report.Text();
}

void AddInspectCommand(CLI::App& tool, CToolStreams& streams)
{
    CLI::App& inspect = *tool.add_subcommand(
        "inspect",
        "Shows what the driver and extension-module actions would decide on this machine, and why, "
        "without changing anything: product locations, Windows version and board driver "
        "generation, devices and services, SMBIOS and the IPMI decisions, and the modules of "
        "Module.ini for run modes 0, 1 and 5.");
    auto json = std::make_shared<bool>(false), structures = std::make_shared<bool>(false);
    inspect.add_flag("--structures", *structures, "Lists every SMBIOS structure");
    inspect.add_flag("--json", *json, "The same as JSON, for scripts");
    inspect.callback([json, structures, &streams] { streams.out << InspectText(*json, *structures); });
}
