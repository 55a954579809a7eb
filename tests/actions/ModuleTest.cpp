#include "support/TestFiles.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <set>

// What the installer sees of MsiCA.dll: its exports and imports.

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

TEST(Module, ExportsTheActionsAndTheirRollbacksUndecoratedAndImportsOnlySystemDlls)
{
    LoadedModule dll(BinPath(L"MsiCA.dll"));
    ASSERT_TRUE(dll.module);
    const auto* exports = dll.At<IMAGE_EXPORT_DIRECTORY>(dll.Directory(IMAGE_DIRECTORY_ENTRY_EXPORT));
    std::set<std::string> names;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        names.insert(dll.At<char>(dll.At<DWORD>(exports->AddressOfNames)[i]));
    EXPECT_EQ(std::set<std::string>({"vrxCA_StartSentrel", "vrxCA_StopSentrel", "vrxCA_FinalConfig",
                                     "vrxCA_RegDriver", "vrxCA_UnregDriver", "moraCA_RestartMicrosoftIpmi",
                                     "moraCA_Halb2DriverInstall", "moraCA_Halb2DriverRemove",
                                     "moraCA_EMDataBackup", "moraCA_EMDataRestore", "moraCA_EMDataConvert",
                                     "moraCA_EMDataCleanup", "moraCA_EMDataRollback",
                                     "moraCA_Halb2DriverReinstall", "moraCA_ReserveProgress"}),
              names);
    EXPECT_EQ(names.size(), exports->NumberOfFunctions);

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
