#include "CustomActionFrame.h"
#include "CustomActions.h"
#include "support/ChildProcess.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <set>

// What the installer sees of MsiCA.dll: its exports, imports, resources and its load.

namespace
{
const BYTE* Rva(HMODULE module, DWORD rva)
{
    return reinterpret_cast<const BYTE*>(module) + rva;
}

const IMAGE_DATA_DIRECTORY& Directory(HMODULE module, int entry)
{
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(Rva(module, dos->e_lfanew));
    return nt->OptionalHeader.DataDirectory[entry];
}

struct LoadedModule
{
    explicit LoadedModule(const std::wstring& path) : module(LoadLibraryExW(path.c_str(), nullptr, 0)) {}
    ~LoadedModule()
    {
        if (module)
        {
            FreeLibrary(module);
        }
    }
    HMODULE module;
};

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(tolower(c)); });
    return text;
}
} // namespace

TEST(Module, ExportsExactlyTheTwelveActionsUndecorated)
{
    LoadedModule dll(BinPath(L"MsiCA.dll"));
    ASSERT_TRUE(dll.module);
    const IMAGE_DATA_DIRECTORY& directory = Directory(dll.module, IMAGE_DIRECTORY_ENTRY_EXPORT);
    const auto* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(Rva(dll.module, directory.VirtualAddress));
    const auto* names = reinterpret_cast<const DWORD*>(Rva(dll.module, exports->AddressOfNames));
    std::set<std::string> found;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    {
        found.insert(reinterpret_cast<const char*>(Rva(dll.module, names[i])));
    }
    const std::set<std::string> expected = {
        "vrxCA_StartSentrel",        "vrxCA_StopSentrel",        "vrxCA_FinalConfig",
        "vrxCA_RegDriver",           "vrxCA_UnregDriver",        "moraCA_RestartMicrosoftIpmi",
        "moraCA_Halb2DriverInstall", "moraCA_Halb2DriverRemove", "moraCA_EMDataBackup",
        "moraCA_EMDataRestore",      "moraCA_EMDataConvert",     "moraCA_EMDataCleanup"};
    EXPECT_EQ(expected, found);
    EXPECT_EQ(12u, exports->NumberOfFunctions);
}

TEST(Module, ImportsOnlyDllsThatEveryWindowsHas)
{
    LoadedModule dll(BinPath(L"MsiCA.dll"));
    ASSERT_TRUE(dll.module);
    const std::set<std::string> allowed = {"kernel32.dll", "advapi32.dll", "user32.dll",  "setupapi.dll",
                                           "cfgmgr32.dll", "rpcrt4.dll",   "version.dll", "msi.dll",
                                           "msvcrt.dll",   "ntdll.dll"};
    const IMAGE_DATA_DIRECTORY& directory = Directory(dll.module, IMAGE_DIRECTORY_ENTRY_IMPORT);
    int count = 0;
    for (const auto* descriptor =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(Rva(dll.module, directory.VirtualAddress));
         descriptor->Name; ++descriptor, ++count)
    {
        const std::string name = Lower(reinterpret_cast<const char*>(Rva(dll.module, descriptor->Name)));
        EXPECT_EQ(1u, allowed.count(name)) << name << " is not on every Windows";
    }
    EXPECT_GT(count, 0);
}

TEST(Module, CarriesItsVersionRecordAndManifest)
{
    const std::wstring path = BinPath(L"MsiCA.dll");
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, data.data()));
    wchar_t* text = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\StringFileInfo\\040904B0\\OriginalFilename",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(L"MsiCA.dll", text);
    VS_FIXEDFILEINFO* fixed = nullptr;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);

    LoadedModule dll(path);
    HRSRC resource = FindResourceW(dll.module, MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24));
    ASSERT_TRUE(resource);
    const char* manifest = static_cast<const char*>(LockResource(LoadResource(dll.module, resource)));
    const std::string xml(manifest, SizeofResource(dll.module, resource));
    EXPECT_NE(std::string::npos, xml.find("level=\"asInvoker\""));
    for (const char* os :
         {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
          "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
    {
        EXPECT_NE(std::string::npos, xml.find(os)) << os;
    }
}

TEST(Module, LoadAndUnloadWriteExactlyTheTwoDllMainLines)
{
    CTestDir dir;
    CTestKey global(L"SOFTWARE\\Debug");
    CTestKey application(L"SOFTWARE\\Debug\\MsiCA");
    application.SetDword(L"FileDebugLevel", 2).SetString(L"TraceFile", dir / L"load.log");
    {
        LoadedModule dll(BinPath(L"MsiCA.dll"));
        ASSERT_TRUE(dll.module);
    }
    EXPECT_EQ(L"\r\nMsiCA               : DllMain: DLL_PROCESS_ATTACH"
              L"\r\nMsiCA               : DllMain: DLL_PROCESS_DETACH",
              ReadUtf16File(dir / L"load.log"));
}

TEST(Module, EveryExportReturnsZeroWithTheTraceOff)
{
    DeleteKeyTree(L"SOFTWARE\\Debug");
    for (const wchar_t* action : {L"vrxCA_StartSentrel", L"vrxCA_StopSentrel", L"vrxCA_FinalConfig",
                                  L"moraCA_EMDataBackup", L"moraCA_EMDataRestore", L"moraCA_EMDataConvert",
                                  L"moraCA_EMDataCleanup", L"moraCA_Halb2DriverRemove"})
    {
        EXPECT_EQ(0u, RunProcess(L"\"" + BinPath(L"ca_host.exe") + L"\" " + action)) << Narrow(action);
    }
}

namespace
{
volatile int* volatile g_nowhere = nullptr;

UINT FaultingAction(MSIHANDLE)
{
    return static_cast<UINT>(*g_nowhere);
}
} // namespace

TEST(Module, AFaultInsideAnActionIsTracedAndAnswered)
{
    CTraceCapture capture(2);
    EXPECT_EQ(1603u, RunCustomAction(L"FaultyAction", 0, FaultingAction, 1603));
    EXPECT_TRUE(capture.InOrder({L"MsiCA               : FaultyAction",
                                 L"MsiCA               : ## ERROR 0xC0000005! Exception in FaultyAction"}));
}
