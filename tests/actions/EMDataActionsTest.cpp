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

namespace
{
const std::wstring kSentrelKey = L"SOFTWARE\\Arvetta\\Management\\Sentrel";

// What the installer's RUNMODE property holds.
const wchar_t* g_runMode = L"MORA";

UINT WINAPI InstallerRunMode(MSIHANDLE, LPCWSTR name, LPWSTR value, LPDWORD length)
{
    lstrcpynW(value, wcscmp(name, L"RUNMODE") ? L"" : g_runMode, *length);
    *length = lstrlenW(value);
    return ERROR_SUCCESS;
}

// CopyFileW breaking off halfway through two of the files, as a full disk or a read error
// leaves it under Wine: half of the target written.
BOOL WINAPI BreakingCopyFileW(LPCWSTR source, LPCWSTR target, BOOL failIfExists)
{
    const DWORD error = wcsstr(source, L"\u00e95.dat")    ? ERROR_DISK_FULL
                        : wcsstr(source, L"\u00e911.dat") ? ERROR_CRC
                                                          : 0;
    if (error == 0)
        return ORIGINAL(CopyFileW)(source, target, failIfExists);
    const std::vector<BYTE> bytes = ReadFileBytes(source);
    WriteFileBytes(target, std::vector<BYTE>(bytes.begin(), bytes.begin() + bytes.size() / 2));
    SetLastError(error);
    return FALSE;
}

// Nested folders with non-ASCII names, every seventh file read-only, an ANSI CommonConfig.ccs.
TreeListing BuildDataTree(const std::wstring& root, int folders, int files)
{
    for (int n = 0; n < folders * files; ++n)
    {
        const std::wstring folder = root + L"\\Ordner-\u00e4-" + std::to_wstring(n / files) +
                                    (n / files % 2 ? L"\\\u8bbe\u7f6e" : L""),
                           file = folder + L"\\f\u00e9" + std::to_wstring(n % files) + L".dat";
        CreateDir(folder.c_str());
        WriteFileBytes(file, std::string(n * 37 % 3000, static_cast<char>(n)));
        SetFileAttributesW(file.c_str(), n % 7 == 3 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
    }
    WriteFileBytes(root + L"\\CommonConfig.ccs", std::string("[A]\r\nB=\xE9\r\n"));
    return ListTree(root);
}

// The UTF-16LE text that the ANSI CommonConfig.ccs above becomes.
const std::string kUtf16Config("\xFF\xFE[\0A\0]\0\n\0B\0=\0\xE9\0\n\0", 18);

// The product's folders below a test folder; the temporary directory is TMP of this process
// and of its children.
class EMData : public testing::Test
{
  protected:
    EMData()
    {
        for (const auto& folder : {bin, data, temp})
            CreateDirectoryW(folder.c_str(), nullptr);
        setup.SetString(L"FileRoot", bin);
        dataKey.SetString(L"DataRoot", data);
        SetEnvironmentVariableW(L"TMP", temp.c_str());
    }
    ~EMData() override { SetEnvironmentVariableW(L"TMP", nullptr); } // TEMP, the same folder, again

    CTestDir dir;
    const std::wstring bin = dir / L"bin", data = dir / L"Data", temp = dir / L"Temp",
                       backup = temp + L"\\Sentrel";
    CTestKey vendor{L"SOFTWARE\\Arvetta"}, setup{kSentrelKey + L"\\Setup"}, dataKey{kSentrelKey + L"\\DATA"};
};
} // namespace

TEST_F(EMData, RunMode5SavesTheSettingsOfModulesUpTo7_10AndCallsEveryModule)
{
    const struct
    {
        std::vector<std::pair<std::wstring, std::wstring>> modules; // name, stand-in variant
        std::vector<std::wstring> saved;
    } cases[] = {
        {{{L"EM_DEF", L"em_v7_10"}, {L"EM_DRVMON", L"em_noentry"}, {L"EM_UPDATE", L"em_v7_9"}},
         {L"EM_DEF\\CommonConfig.ccs", L"EM_DRVMON\\loggetd.bookmark", L"EM_UPDATE\\EM_UPDATE\\sub\\b.txt"}},
        {{{L"EM_def", L"em_v7_10"}, {L"EM_DRVMON", L"em_v8_0"}, {L"EM_UPDATE", L"em_noentry"}}, {}},
        {{{L"EM_DEF", L"em_v7_11"}, {L"EM_B", L"em_fault"}}, {}},
    };
    CreateDir((data + L"\\EM_UPDATE\\sub").c_str());
    for (const wchar_t* file : {L"\\CommonConfig.ccs", L"\\loggetd.bookmark", L"\\EM_UPDATE\\sub\\b.txt"})
        WriteFileBytes(data + file, std::string("settings"));
    CFaultInjector injector;
    injector.Replace("msi.dll", "MsiGetPropertyW", &InstallerRunMode);
    CTraceCapture trace(2);
    for (const auto& row : cases)
    {
        RemoveTree(temp);
        std::string ini = "[Modes]\r\n5=Mora\r\n[Modules.Mora]\r\n", sections;
        for (const auto& [name, variant] : row.modules)
        {
            ini += Narrow(name) + "=1\r\n";
            sections += "[" + Narrow(name) + "]\r\nInstall=1\r\n";
            CopyFileW(BinPath(variant + L".dll").c_str(), (bin + L"\\" + name + L".dll").c_str(), FALSE);
        }
        WriteFileBytes(bin + L"\\Module.ini", ini + sections);
        EXPECT_EQ(0u, moraCA_EMDataBackup(0));
        std::vector<std::wstring> files; // what the temporary directory holds, in name order
        for (const auto& [path, content] : ListTree(temp))
            files.insert(files.end(), content == "<dir>" ? 0 : 1, path.substr(1));
        EXPECT_EQ(row.saved, files);
    }
    // The other three actions only call the modules; the faulty one's record shows every call,
    // and none in run mode 0, whose table is missing here.
    EXPECT_EQ(0u, moraCA_EMDataRestore(0) + moraCA_EMDataConvert(0) + moraCA_EMDataCleanup(0));
    g_runMode = L"";
    EXPECT_EQ(0u, moraCA_EMDataConvert(0) + moraCA_EMDataCleanup(0));
    EXPECT_TRUE(
        trace.InOrder({L"Setup run mode: 5", L"Special backup handling for extension module \"EM_DEF\"",
                       L"\"EM_DEF\": Call DLL entry", L"Sentrel Bin Path", L"completed with success"}));
    EXPECT_EQ(L"", trace.FirstFound({L"Version MS:", L"Current run mode", L"  module \""}));
    const std::string codes = "1;2;3;4;";
    EXPECT_EQ(std::vector<BYTE>(codes.begin(), codes.end()), ReadFileBytes(bin + L"\\EM_B.dll.codes"));
}

TEST_F(EMData, FailingCopiesLoseNoSourceFileAndAReRunRestoresTheDataByteForByte)
{
    TreeListing original = BuildDataTree(data, 2, 12);
    CTestKey kvq(L"SOFTWARE\\Arvetta\\Setup"); // the agent's fallback key, naming a missing folder
    kvq.SetString(L"FileRoot", dir / L"KVQ\\");
    const std::wstring folder = L"\\Ordner-\u00e4-0\\f\u00e9";
    CTraceCapture trace(3);
    for (const bool restoring : {false, true})
    {
        const std::wstring &from = restoring ? backup : data, &to = restoring ? data : backup;
        const HANDLE held = CreateFileW((from + folder + L"7.dat").c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
        {
            CFaultInjector injector;
            injector.Replace("kernel32.dll", "CopyFileW", &BreakingCopyFileW);
            EXPECT_EQ(0u, restoring ? moraCA_EMDataRestore(0) : moraCA_EMDataBackup(0));
        }
        CloseHandle(held);
        EXPECT_TRUE(original == ListTree(from)) << "sources untouched";
        for (const auto& [file, error] : {std::pair(L"5.dat", L"70"), {L"11.dat", L"17"}, {L"7.dat", L"20"}})
        {
            EXPECT_TRUE(trace.Contains(L"ERROR 0x" + std::wstring(error) + L"! Failed to copy file : \"" +
                                       from + folder + file));
            EXPECT_TRUE(restoring || !FileExists(to + folder + file)) << "no partial copy";
        }
        EXPECT_TRUE(restoring || trace.Contains(L"ERROR 0x3! Failed to copy KVQ data base file \"" +
                                                dir.Path() + L"\\KVQ\\var\\db\\kvqDb.db\""));
        // Once the cause is gone, the same action completes: the backup is refilled, the
        // broken files of the data folder are replaced and the configuration converted.
        EXPECT_EQ(0u, restoring ? moraCA_EMDataRestore(0) : moraCA_EMDataBackup(0));
        original[L"\\CommonConfig.ccs"] = restoring ? kUtf16Config : original[L"\\CommonConfig.ccs"];
        EXPECT_TRUE(original == ListTree(to));
    }
    // A data folder that is the temporary directory itself is not copied into itself.
    dataKey.DeleteValue(L"DataRoot");
    EXPECT_EQ(0u, moraCA_EMDataBackup(0));
    EXPECT_TRUE(trace.Contains(L"ERROR 0x57! Destination \"" + backup + L"\" lies inside the source"));
}

TEST_F(EMData, AnInstallCopiesTheDataAndTheStoppedAgentsFilesOutAndBack)
{
    const std::wstring kvq = dir / L"KVQ", db = kvq + L"\\var\\db\\kvqDb.db";
    CreateDir((kvq + L"\\var\\db").c_str());
    CreateDir((kvq + L"\\var\\log").c_str());
    WriteFileBytes(db, std::string("kvq-"));
    WriteFileBytes(kvq + L"\\var\\log\\kvq_status.xml", std::string("kvq-"));
    CTestKey agent(L"SOFTWARE\\Arvetta\\KVQ\\Setup");
    agent.SetString(L"FileRoot", kvq + L"\\");
    CTestKey uuid(L"SYSTEM\\CurrentControlSet\\Control\\UUID\\C3681B60-0D26-11D3-8319-00A0C9B61E25");
    uuid.SetString(L"KVQAgent", L"SOFTWARE\\Arvetta\\KVQ");
    CTestService service(L"kvq_srv", L"--hold " + db);
    ASSERT_TRUE(service.Start());
    TreeListing expected = BuildDataTree(data, 40, 50);

    const std::wstring package = L"\"" + BinPath(L"MsiCASample.msi") + L"\"";
    EXPECT_EQ(0u, RunProcess(L"msiexec /i " + package + L" /qn ADDLOCAL=Main RUNMODE=Telix"));
    EXPECT_EQ(0u, RunProcess(L"msiexec /x " + package + L" /qn"));
    expected[L"\\kvqDb.db"] = "kvq-flushed"; // copied after the service's last write
    expected[L"\\kvq_status.xml"] = "kvq-";
    EXPECT_TRUE(expected == ListTree(backup));
    expected[L"\\CommonConfig.ccs"] = kUtf16Config;
    EXPECT_TRUE(expected == ListTree(data));
}
