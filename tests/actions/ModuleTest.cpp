#include "CustomActionFrame.h"
#include "support/ChildProcess.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include "util/CFileVersionInfo.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <set>

// What the installer sees of MsiCA.dll: its exports, imports, resources and its load.

namespace
{
struct LoadedModule
{
    explicit LoadedModule(const std::wstring& path) : module(LoadLibraryW(path.c_str())) {}
    ~LoadedModule() { FreeLibrary(module); }
    template <class T>
    const T* At(DWORD rva) const
    {
        return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(module) + rva);
    }
    DWORD Directory(int entry) const
    {
        const auto* nt = At<IMAGE_NT_HEADERS>(At<IMAGE_DOS_HEADER>(0)->e_lfanew);
        return nt->OptionalHeader.DataDirectory[entry].VirtualAddress;
    }
    HMODULE module;
};
} // namespace

TEST(Module, ExportsTheTwelveActionsUndecoratedAndImportsOnlySystemDlls)
{
    LoadedModule dll(BinPath(L"MsiCA.dll"));
    ASSERT_TRUE(dll.module);
    const auto* exports = dll.At<IMAGE_EXPORT_DIRECTORY>(dll.Directory(IMAGE_DIRECTORY_ENTRY_EXPORT));
    std::set<std::string> names;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        names.insert(dll.At<char>(dll.At<DWORD>(exports->AddressOfNames)[i]));
    EXPECT_EQ(
        std::set<std::string>({"vrxCA_StartSentrel", "vrxCA_StopSentrel", "vrxCA_FinalConfig",
                               "vrxCA_RegDriver", "vrxCA_UnregDriver", "moraCA_RestartMicrosoftIpmi",
                               "moraCA_Halb2DriverInstall", "moraCA_Halb2DriverRemove", "moraCA_EMDataBackup",
                               "moraCA_EMDataRestore", "moraCA_EMDataConvert", "moraCA_EMDataCleanup"}),
        names);
    EXPECT_EQ(12u, exports->NumberOfFunctions);

    const std::set<std::string> everyWindows = {"kernel32.dll", "advapi32.dll", "user32.dll",
                                                "setupapi.dll", "cfgmgr32.dll", "rpcrt4.dll",
                                                "version.dll",  "msi.dll",      "msvcrt.dll"};
    for (auto* import = dll.At<IMAGE_IMPORT_DESCRIPTOR>(dll.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT));
         import->Name; ++import)
    {
        std::string name = dll.At<char>(import->Name);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        EXPECT_EQ(1u, everyWindows.count(name)) << name;
    }
}

TEST(Module, CarriesItsVersionRecordAndManifest)
{
    CFileVersionInfo version;
    std::wstring product;
    EXPECT_TRUE(version.Load(BinPath(L"MsiCA.dll").c_str()) && version.QueryProductVersion(product));
    EXPECT_FALSE(product.empty());

    LoadedModule dll(BinPath(L"MsiCA.dll"));
    HRSRC resource = FindResourceW(dll.module, MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24));
    ASSERT_TRUE(resource);
    const std::string xml(static_cast<const char*>(LockResource(LoadResource(dll.module, resource))),
                          SizeofResource(dll.module, resource));
    EXPECT_NE(std::string::npos, xml.find("level=\"asInvoker\"")) << xml;
    EXPECT_NE(std::string::npos, xml.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}")) << "Windows 10";
}

TEST(Module, LoadAndUnloadWriteExactlyTheTwoDllMainLines)
{
    CTestDir dir;
    CTestKey global(L"SOFTWARE\\Debug");
    CTestKey application(L"SOFTWARE\\Debug\\MsiCA");
    application.SetDword(L"FileDebugLevel", 2).SetString(L"TraceFile", dir / L"load.log");
    {
        LoadedModule dll(BinPath(L"MsiCA.dll"));
    }
    EXPECT_EQ(L"\r\nMsiCA               : DllMain: DLL_PROCESS_ATTACH"
              L"\r\nMsiCA               : DllMain: DLL_PROCESS_DETACH",
              ReadUtf16File(dir / L"load.log"));
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
