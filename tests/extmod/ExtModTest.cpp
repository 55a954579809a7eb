#include "extmod/CExtensionModuleConf.h"
#include "extmod/CSentrelSetupA.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>

namespace
{
std::wstring Joined(const std::vector<std::wstring>& names)
{
    std::wstring text;
    for (const auto& name : names)
        text += name + L" ";
    return text;
}
} // namespace

TEST(ModuleSelection, RunModeTablesInstallFlagsKeyOrderAndLongReads)
{
    CTestDir dir;
    const std::string modules =
        "[Modes]\n5=MORA\n7=GONE\n[Modules]\nE=1\nA=1\nB=1\nC=0\nD=1\n[Modules.MORA]\nD=1\nA=2\n"
        "[A]\nInstall=1\n[B]\nInstall=1\nInstall.Windows=0\n[C]\nInstall=1\n[D]\nInstall=0\n"
        "Install.Windows=1\n[E]\nInstall.Windows=99\nInstall=1\n";
    const struct
    {
        const char* general;
        int runMode;
        const wchar_t* expected;
    } cases[] = {{"", 0, L"E A D "},
                 {"", 1, L"E A D "},
                 {"", 5, L"D A "},
                 {"", 7, L""},
                 {"[General]\nRunMode=5\n", 0, L"D A "},
                 {"[General]\nRunMode=5\n", 1, L"E A D "}};
    for (const auto& c : cases)
    {
        WriteFileBytes(dir / L"Module.ini", c.general + modules);
        CExtensionModuleConf conf;
        ModuleList list;
        EXPECT_TRUE(conf.Open((dir / L"Module.ini").c_str()) && conf.BuildModuleList(list, c.runMode));
        EXPECT_EQ(c.expected, Joined(list)) << c.general << c.runMode;
    }
    std::string longSection =
        "[Modes]\n1=" + std::string(2000, 'x') + "\n2=" + std::string(65000, 'y') + "\n[Many]\n";
    for (int i = 0; i < 500; ++i)
        longSection += "Module" + std::to_string(1000 + i) + "=1\n";
    WriteFileBytes(dir / L"Long.ini", longSection);
    CExtensionModuleConf conf;
    EXPECT_FALSE(conf.Open(nullptr) || conf.Open(dir.Path().c_str())) << "nothing to open; a directory";
    ModuleList list{L"kept"};
    EXPECT_TRUE(conf.BuildModuleList(list, 0) && list.size() == 1);
    SetCurrentDirectoryW(dir.Path().c_str());
    EXPECT_TRUE(conf.Open(L"Long.ini") && conf.Path() == L".\\Long.ini");
    EXPECT_EQ(2000u, conf.ReadModeName(L"1").size());
    EXPECT_EQ(L"", conf.ReadModeName(L"2")) << "still truncated at the largest buffer";
    const auto keys = conf.ReadSectionKeys(L"Many");
    EXPECT_TRUE(keys.size() == 500 && keys[0] == L"Module1000" && keys[499] == L"Module1499");
    SetCurrentDirectoryW(BinDir().c_str());
}

TEST(SetupActionInvocation, EveryModuleIsCalledAndFreedWhateverTheOneBeforeDid)
{
    CTraceCapture trace;
    CTestDir dir;
    CTestKey setup(L"SOFTWARE\\Arvetta\\Management\\Sentrel\\Setup");
    setup.SetString(L"FileRoot", dir.Path());
    EXPECT_FALSE(CSentrelSetupA::RunSetupAction(1, 0));
    EXPECT_TRUE(
        trace.InOrder({L"CExtensionModuleConf: ERROR! Could not open Module.ini in \"" + dir.Path(),
                       L"CSentrelSetupA      : ERROR! Failed to open extension module configuration file"}));
    const struct
    {
        const wchar_t* name;
        const wchar_t* variant;
        const char* record;
        const wchar_t* line;
    } cases[] = {
        {L"ok", L"em_ok", "+7;-+1;-", L"EM_SETUP_ACTION_??? (7) completed with success"},
        {L"err", L"em_error", "+7;-+1;-", L"EM_SETUP_ACTION_??? (7) completed with error"},
        {L"av", L"em_fault", "+7;-+1;-",
         L"\"av\": Exception during SetupAction EM_SETUP_ACTION_??? (7) for EM "},
        {L"cpp", L"em_throw", "+7;-+1;-",
         L"\"cpp\": Exception during SetupAction EM_SETUP_ACTION_??? (7) for EM "},
        {L"none", L"em_noentry", "+-+-", L"ERROR 0x7F! \"none\": Could not found DLL entry EM_SetupAction"},
        {L"absent", nullptr, "", L"ERROR 0x7E! Failed to load extension module DLL \"absent.dll\""},
    };
    std::string table = "[Modules]\n", sections;
    std::vector<std::wstring> lines;
    for (const auto& c : cases)
    {
        table += Narrow(c.name) + "=1\n";
        sections += "[" + Narrow(c.name) + "]\nInstall=1\n";
        lines.push_back(c.line);
        if (c.variant)
            CopyFileW(BinPath(c.variant + std::wstring(L".dll")).c_str(), (dir / c.name + L".dll").c_str(),
                      FALSE);
    }
    WriteFileBytes(dir / L"Module.ini", table + sections);
    EXPECT_TRUE(CSentrelSetupA::RunSetupAction(7, 0));
    EXPECT_TRUE(trace.InOrder(lines));
    SetCurrentDirectoryW(BinDir().c_str());
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.name == std::wstring(L"ok"),
                  CSentrelSetupA::CallSetupAction((dir / c.name).c_str(), c.name, 1));
        const auto record = ReadFileBytes(dir / c.name + L".dll.codes");
        EXPECT_EQ(c.record, std::string(record.begin(), record.end())) << Narrow(c.name);
    }
}
