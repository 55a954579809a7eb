// The extension-module data actions called as the installer calls them: the modules' own
// backup in run mode 5, the data folder's trip through the temporary directory otherwise.
#include "CustomActions.h"
#include "support/ChildProcess.h"
#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "support/TestServices.h"
#include "support/TraceCapture.h"
#include "util/CDirectory.h"
#include <gtest/gtest.h>
#include <msiquery.h>

namespace
{
const std::wstring kSentrelKey = L"SOFTWARE\\Arvetta\\Management\\Sentrel";
const wchar_t* g_runMode = L"";
const wchar_t* g_failingNames[3] = {};
const DWORD kFailingErrors[3] = {ERROR_DISK_FULL, ERROR_CRC, ERROR_HANDLE_EOF};

UINT WINAPI FakeMsiGetPropertyW(MSIHANDLE, LPCWSTR name, LPWSTR value, LPDWORD length)
{
    const wchar_t* text = wcscmp(name, L"RUNMODE") == 0 ? g_runMode : L"";
    lstrcpynW(value, text, *length);
    *length = lstrlenW(text);
    return ERROR_SUCCESS;
}

// A copy that breaks off halfway through the files named in g_failingNames, the way a full
// disk or a read error leaves it: half of the target written.
BOOL WINAPI BreakingCopyFileW(LPCWSTR source, LPCWSTR target, BOOL failIfExists)
{
    for (int i = 0; i < 3; ++i)
    {
        if (g_failingNames[i] && wcsstr(source, g_failingNames[i]))
        {
            const std::vector<BYTE> bytes = ReadFileBytes(source);
            WriteFileBytes(target, std::vector<BYTE>(bytes.begin(), bytes.begin() + bytes.size() / 2));
            SetLastError(kFailingErrors[i]);
            return FALSE;
        }
    }
    return reinterpret_cast<decltype(&CopyFileW)>(CFaultInjector::Original("CopyFileW"))(source, target,
                                                                                         failIfExists);
}

// Nested folders with non-ASCII names, every seventh file read-only, an ANSI CommonConfig.ccs.
void BuildDataTree(const std::wstring& root, int folders, int filesPerFolder)
{
    for (int f = 0; f < folders; ++f)
    {
        const std::wstring folder =
            root + L"\\Ordner-\u00e4\u00f6-" + std::to_wstring(f) + (f % 2 ? L"\\\u8bbe\u7f6e" : L"");
        CreateDir(folder.c_str());
        for (int i = 0; i < filesPerFolder; ++i)
        {
            const std::wstring file = folder + L"\\f\u00e9" + std::to_wstring(i) + L".dat";
            std::string bytes((i * 37 + f) % 3000, '\0');
            for (size_t b = 0; b < bytes.size(); ++b)
                bytes[b] = static_cast<char>(b * 31 + i);
            WriteFileBytes(file, bytes);
            if (i % 7 == 3)
                SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
        }
    }
    WriteFileBytes(root + L"\\CommonConfig.ccs", std::string("[General]\r\nName=Caf\xE9\r\n"));
}

// The UTF-16LE form ConvertToUtf16 gives the ANSI CommonConfig.ccs above.
const std::string kConvertedConfig(
    "\xFF\xFE[\0G\0e\0n\0e\0r\0a\0l\0]\0\n\0N\0a\0m\0e\0=\0C\0a\0f\0\xE9\0\n\0", 42);

// The product's folders below a test folder, its temporary directory (TMP and TEMP of this
// process and its children) included.
class EMData : public testing::Test
{
  protected:
    EMData()
    {
        for (const auto& folder : {bin, data, temp})
            CreateDirectoryW(folder.c_str(), nullptr);
        setup.SetString(L"FileRoot", bin);
        dataKey.SetString(L"DataRoot", data);
        GetEnvironmentVariableW(L"TMP", savedTemp, MAX_PATH);
        SetEnvironmentVariableW(L"TMP", temp.c_str());
        SetEnvironmentVariableW(L"TEMP", temp.c_str());
    }
    ~EMData() override
    {
        SetEnvironmentVariableW(L"TMP", savedTemp);
        SetEnvironmentVariableW(L"TEMP", savedTemp);
    }
    void InstallModules(const std::string& ini, std::vector<std::pair<std::wstring, std::wstring>> modules)
    {
        WriteFileBytes(bin + L"\\Module.ini", ini);
        for (const auto& [name, variant] : modules)
            CopyFileW(BinPath(variant + L".dll").c_str(), (bin + L"\\" + name + L".dll").c_str(), FALSE);
    }
    std::string Codes(const std::wstring& module) const
    {
        const std::vector<BYTE> bytes = ReadFileBytes(bin + L"\\" + module + L".dll.codes");
        return std::string(bytes.begin(), bytes.end());
    }

    CTestDir dir;
    const std::wstring bin = dir / L"bin", data = dir / L"Data", temp = dir / L"Temp",
                       backup = temp + L"\\Sentrel";
    CTestKey vendor{L"SOFTWARE\\Arvetta"};
    CTestKey setup{kSentrelKey + L"\\Setup"};
    CTestKey dataKey{kSentrelKey + L"\\DATA"};
    wchar_t savedTemp[MAX_PATH] = {};
};
} // namespace

TEST_F(EMData, RunMode5SavesTheSettingsOfModulesUpTo7_10)
{
    struct Case
    {
        std::vector<std::pair<std::wstring, std::wstring>> modules;
        std::vector<std::wstring> saved;
        size_t skipped;
    };
    const Case cases[] = {
        {{{L"EM_DEF", L"em_v7_10"}, {L"EM_DRVMON", L"em_noentry"}, {L"EM_UPDATE", L"em_v7_9"}},
         {L"EM_DEF\\CommonConfig.ccs", L"EM_DRVMON\\loggetd.bookmark", L"EM_UPDATE\\EM_UPDATE\\sub\\b.txt"},
         0},
        {{{L"EM_def", L"em_v7_10"}, {L"EM_DRVMON", L"em_v8_0"}, {L"EM_UPDATE", L"em_noentry"}}, {}, 1},
        {{{L"EM_DEF", L"em_v7_11"}}, {}, 1},
    };
    WriteFileBytes(data + L"\\CommonConfig.ccs", std::string("cfg"));
    WriteFileBytes(data + L"\\loggetd.bookmark", std::string("mark"));
    CreateDir((data + L"\\EM_UPDATE\\sub").c_str());
    WriteFileBytes(data + L"\\EM_UPDATE\\sub\\b.txt", std::string("update"));
    CFaultInjector injector;
    injector.Replace("msi.dll", "MsiGetPropertyW", &FakeMsiGetPropertyW);
    g_runMode = L"MORA";
    for (const Case& row : cases)
    {
        RemoveTree(temp);
        CreateDirectoryW(temp.c_str(), nullptr);
        std::string ini = "[Modes]\r\n5=Mora\r\n[Modules.Mora]\r\n", sections;
        for (const auto& [name, variant] : row.modules)
        {
            ini += Narrow(name) + "=1\r\n";
            sections += "[" + Narrow(name) + "]\r\nInstall=1\r\n";
        }
        InstallModules(ini + sections, row.modules);
        CTraceCapture trace;
        EXPECT_EQ(0u, moraCA_EMDataBackup(0));
        EXPECT_EQ(row.skipped, trace.Count(L"DLL version > 7.10.xx. Special backup handling skipped."));
        for (const auto& [name, variant] : row.modules)
        {
            EXPECT_EQ(variant == L"em_noentry" ? "+-" : "+1;-", Codes(name)) << Narrow(name);
            DeleteFileW((bin + L"\\" + name + L".dll.codes").c_str());
        }
        size_t savedFiles = 0;
        for (const auto& [path, content] : ListTree(temp))
            savedFiles += content != "<dir>";
        EXPECT_EQ(row.saved.size(), savedFiles);
        for (const std::wstring& saved : row.saved)
            EXPECT_TRUE(FileExists(temp + L"\\" + saved)) << Narrow(saved);
        EXPECT_EQ(!row.saved.empty(),
                  trace.Contains(L"\"EM_DRVMON\": Could not found DLL entry EM_SetupAction"));
    }
}

TEST_F(EMData, RestoreConvertAndCleanupCallTheModules)
{
    InstallModules("[Modules]\r\nEM_A=1\r\nEM_B=1\r\n[EM_A]\r\nInstall=1\r\n[EM_B]\r\nInstall=1\r\n",
                   {{L"EM_A", L"em_ok"}, {L"EM_B", L"em_fault"}});
    CreateDir(backup.c_str());
    WriteFileBytes(backup + L"\\saved.txt", std::string("x"));
    {
        CFaultInjector injector;
        injector.Replace("msi.dll", "MsiGetPropertyW", &FakeMsiGetPropertyW);
        g_runMode = L"mora";
        EXPECT_EQ(0u, moraCA_EMDataRestore(0));
        EXPECT_EQ(0u, moraCA_EMDataConvert(0));
    }
    EXPECT_EQ(0u, moraCA_EMDataCleanup(0)); // run mode 0: the Modules table as well
    EXPECT_EQ("+2;-+3;-+4;-", Codes(L"EM_A"));
    EXPECT_EQ("+2;-+3;-+4;-", Codes(L"EM_B")) << "the fault is contained, the DLL freed";
    EXPECT_FALSE(FileExists(data + L"\\saved.txt")) << "run mode 5 copies nothing itself";
}

TEST_F(EMData, RunMode0RestoresADamagedDataFolderByteForByte)
{
    BuildDataTree(data, 6, 20);
    TreeListing original = ListTree(data);
    CTraceCapture trace;
    EXPECT_EQ(0u, moraCA_EMDataBackup(0));
    EXPECT_TRUE(original == ListTree(backup));
    RemoveTree(data + L"\\Ordner-\u00e4\u00f6-1");
    SetFileAttributesW((data + L"\\Ordner-\u00e4\u00f6-0\\f\u00e93.dat").c_str(), FILE_ATTRIBUTE_NORMAL);
    WriteFileBytes(data + L"\\Ordner-\u00e4\u00f6-0\\f\u00e93.dat", std::string("x"));
    EXPECT_EQ(0u, moraCA_EMDataRestore(0));
    original[L"\\CommonConfig.ccs"] = kConvertedConfig;
    EXPECT_TRUE(original == ListTree(data));
    EXPECT_TRUE(trace.Contains(L"successfully converted to UTF16!"));

    // Again: the backup folder is emptied and refilled, a converted file left alone.
    WriteFileBytes(backup + L"\\stale.txt", std::string("old"));
    trace.Clear();
    EXPECT_EQ(0u, moraCA_EMDataBackup(0));
    EXPECT_EQ(0u, moraCA_EMDataRestore(0));
    EXPECT_TRUE(original == ListTree(backup));
    EXPECT_TRUE(original == ListTree(data));
    EXPECT_TRUE(trace.Contains(L"Clean up Sentrel backup directory \"" + backup + L"\""));
    EXPECT_FALSE(trace.Contains(L"Convert \""));

    // Without CommonConfig.ccs the conversion fails with its own line.
    DeleteFileW((data + L"\\CommonConfig.ccs").c_str());
    DeleteFileW((backup + L"\\CommonConfig.ccs").c_str());
    EXPECT_EQ(0u, moraCA_EMDataRestore(0));
    EXPECT_TRUE(trace.Contains(L"ERROR! Failed to convert \"" + data + L"\\CommonConfig.ccs\" to UTF16!"));

    // A data folder that is the temporary directory itself is not copied into itself.
    dataKey.DeleteValue(L"DataRoot");
    trace.Clear();
    EXPECT_EQ(0u, moraCA_EMDataBackup(0));
    EXPECT_TRUE(trace.Contains(L"ERROR 0x57! Destination \"" + backup + L"\" lies inside the source"));
    EXPECT_TRUE(ListTree(backup).empty());
}

TEST_F(EMData, CopiesThatFailLoseNoSourceFileAndNameWhatFailed)
{
    BuildDataTree(data, 2, 12);
    const TreeListing original = ListTree(data);
    const std::wstring folder = data + L"\\Ordner-\u00e4\u00f6-0\\";
    const std::wstring inUse = folder + L"f\u00e97.dat";
    CTraceCapture trace(1);
    for (const bool restoring : {false, true})
    {
        const std::wstring& to = restoring ? data : backup;
        const std::wstring& from = restoring ? backup : data;
        EXPECT_EQ(0u, restoring ? moraCA_EMDataBackup(0) : 0u);
        trace.Clear();
        const HANDLE held = CreateFileW((restoring ? backup + inUse.substr(data.size()) : inUse).c_str(),
                                        GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        {
            CFaultInjector injector;
            injector.Replace("kernel32.dll", "CopyFileW", &BreakingCopyFileW);
            g_failingNames[0] = L"f\u00e95.dat";  // a full disk
            g_failingNames[1] = L"f\u00e911.dat"; // a read error
            EXPECT_EQ(0u, restoring ? moraCA_EMDataRestore(0) : moraCA_EMDataBackup(0));
            g_failingNames[0] = g_failingNames[1] = nullptr;
        }
        CloseHandle(held);
        EXPECT_TRUE(original == ListTree(from)) << "sources untouched";
        for (const auto& [name, error] :
             {std::pair(L"f\u00e95.dat", L"70"), {L"f\u00e911.dat", L"17"}, {L"f\u00e97.dat", L"20"}})
        {
            const std::wstring source = from + folder.substr(data.size()) + name;
            const std::wstring line =
                L"ERROR 0x" + std::wstring(error) + L"! Failed to copy file : \"" + source + L"\"";
            EXPECT_TRUE(trace.Contains(line)) << Narrow(line);
            EXPECT_TRUE(restoring || !FileExists(to + folder.substr(data.size()) + name))
                << "no partial copy";
        }
        EXPECT_TRUE(trace.Contains(restoring ? L"Failed to restore config of Sentrel"
                                             : L"Failed to copy config of Sentrel"));
    }
}

TEST_F(EMData, InstallCopiesTheDataAndTheStoppedAgentsFilesAndBack)
{
    const std::wstring kvq = dir / L"KVQ", db = kvq + L"\\var\\db\\kvqDb.db",
                       status = kvq + L"\\var\\log\\kvq_status.xml";
    CreateDir((kvq + L"\\var\\db").c_str());
    CreateDir((kvq + L"\\var\\log").c_str());
    WriteFileBytes(db, std::string("db-"));
    WriteFileBytes(status, std::string("<status/>"));
    CTestKey agent(L"SOFTWARE\\Arvetta\\KVQ\\Setup");
    agent.SetString(L"FileRoot", kvq + L"\\");
    CTestKey uuid(L"SYSTEM\\CurrentControlSet\\Control\\UUID\\C3681B60-0D26-11D3-8319-00A0C9B61E25");
    uuid.SetString(L"KVQAgent", L"SOFTWARE\\Arvetta\\KVQ");
    CTestService service(L"kvq_srv", L"--hold " + db);
    ASSERT_TRUE(service.Start());
    BuildDataTree(data, 40, 60);
    TreeListing expected = ListTree(data);
    CTestKey application(L"SOFTWARE\\Debug\\MsiCA"), global(L"SOFTWARE\\Debug");
    application.SetDword(L"FileDebugLevel", 3).SetString(L"TraceFile", dir / L"session.log");

    const std::wstring package = L"\"" + BinPath(L"MsiCASample.msi") + L"\"";
    EXPECT_EQ(0u, RunProcess(L"msiexec /i " + package + L" /qn ADDLOCAL=Main RUNMODE=Telix"));
    EXPECT_EQ(0u, RunProcess(L"msiexec /x " + package + L" /qn"));
    EXPECT_EQ(DWORD{SERVICE_STOPPED}, ServiceState(L"kvq_srv"));
    expected[L"\\kvqDb.db"] = "db-flushed"; // copied after the service's last write
    expected[L"\\kvq_status.xml"] = "<status/>";
    EXPECT_TRUE(expected == ListTree(backup));
    expected[L"\\CommonConfig.ccs"] = kConvertedConfig;
    EXPECT_TRUE(expected == ListTree(data));
    const std::wstring log = ReadUtf16File(dir / L"session.log");
    for (const std::wstring& line :
         {L"KVQ data base file \"" + db + L"\" copied to \"" + backup + L"\\kvqDb.db\"",
          L"Config of Sentrel restored from \"" + backup + L"\"",
          L"\"" + data + L"\\CommonConfig.ccs\" successfully converted to UTF16!"})
        EXPECT_NE(std::wstring::npos, log.find(line)) << Narrow(line);
}
