#include "extmod/CExtensionModuleConf.h"
#include "extmod/CSentrelSetupA.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>
#include <numeric>
#include <tuple>

TEST(ModuleSelection, RunModeTablesInstallFlagsAndKeyOrder)
{
    CTestDir dir;
    const std::string ini =
        "[Modes]\n5=MORA\n7=GONE\n[A]\nInstall=1\n[B]\nInstall=1\nInstall.Windows=0\n[C]\n"
        "Install=1\n[D]\nInstall=0\nInstall.Windows=1\n[E]\nInstall.Windows=99\nInstall=1\n"
        "[Modules]\nE=1\nA=1\nB=1\nC=0\nD=1\n[Modules.MORA]\n" +
        std::string(1100, 'U') + "=0\nD=1\nA=2\n[General]\nRunMode="; // a long key list first
    const std::tuple<const char*, int, const wchar_t*> cases[] = {
        {"", 0, L"EAD"}, {"", 1, L"EAD"}, {"", 5, L"DA"}, {"", 7, L""}, {"5", 0, L"DA"}, {"5", 1, L"EAD"}};
    for (const auto& [general, runMode, expected] : cases)
    {
        WriteFileBytes(dir / L"Module.ini", ini + general);
        CExtensionModuleConf conf;
        ModuleList list;
        EXPECT_TRUE(conf.Open((dir / L"Module.ini").c_str()) && conf.BuildModuleList(list, runMode));
        EXPECT_EQ(expected, std::accumulate(list.begin(), list.end(), std::wstring())) << general << runMode;
    }
    EXPECT_FALSE(CExtensionModuleConf().Open(dir.Path().c_str())) << "a directory";
}

TEST(SetupActionInvocation, EveryModuleIsCalledAndFreedWhateverTheOneBeforeDid)
{
    CTraceCapture trace(2);
    CTestDir dir;
    CTestKey setup(L"SOFTWARE\\Arvetta\\Management\\Sentrel\\Setup");
    setup.SetString(L"FileRoot", dir.Path());
    EXPECT_FALSE(CSentrelSetupA::RunSetupAction(1, 0));
    EXPECT_TRUE(trace.Contains(L"CExtensionModuleConf: ERROR! Could not open Module.ini in \"" + dir.Path()));
    const std::tuple<const wchar_t*, std::string, const wchar_t*> cases[] = {
        {L"em_ok", "7;", L"EM_SETUP_ACTION_??? (7) completed with success"},
        {L"em_error", "7;", L"EM_SETUP_ACTION_??? (7) completed with error"},
        {L"em_fault", "7;", L"\"em_fault\": Exception during SetupAction EM_SETUP_ACTION_??? (7) for EM "},
        {L"em_throw", "7;", L"\"em_throw\": Exception during SetupAction EM_SETUP_ACTION_??? (7) for EM "},
        {L"em_noentry", "", L"ERROR 0x7F! \"em_noentry\": Could not found DLL entry EM_SetupAction"},
        {L"em_absent", "", L"ERROR 0x7E! Failed to load extension module DLL \"em_absent.dll\""}};
    std::string table = "[Modules]\n", sections;
    for (const auto& [name, record, _] : cases)
    {
        table += Narrow(name) + "=1\n";
        sections += "[" + Narrow(name) + "]\nInstall=1\n";
        CopyFileW(BinPath(name + std::wstring(L".dll")).c_str(), (dir / name + L".dll").c_str(), FALSE);
    }
    WriteFileBytes(dir / L"Module.ini", table + sections);
    EXPECT_TRUE(CSentrelSetupA::RunSetupAction(7, 0));
    // The modules run in the bin path, where a bare name finds Module.ini (not in the Windows folder).
    CExtensionModuleConf bare;
    ModuleList list;
    EXPECT_TRUE(bare.Open(L"Module.ini"));
    bare.BuildModuleList(list, 0);
    EXPECT_EQ(std::size(cases), list.size());
    SetCurrentDirectoryW(BinDir().c_str());
    for (const auto& [name, record, line] : cases)
    {
        EXPECT_EQ(record, ReadFileString(dir / name + L".dll.codes")) << Narrow(name);
        EXPECT_TRUE(trace.Contains(line)) << Narrow(line);
        EXPECT_FALSE(GetModuleHandleW((dir / name + L".dll").c_str())) << "freed";
        EXPECT_EQ(!wcscmp(name, L"em_ok"), CSentrelSetupA::CallSetupAction((dir / name).c_str(), name, 1));
    }
}
