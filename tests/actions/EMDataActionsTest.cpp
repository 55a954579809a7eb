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
using Modules = std::vector<std::pair<std::wstring, std::wstring>>; // name, stand-in variant
const std::wstring kSentrelKey = L"SOFTWARE\\Arvetta\\Management\\Sentrel";
const wchar_t* g_failing[2] = {}; // file names whose copy breaks off: a full disk, a read error

UINT WINAPI MoraRunMode(MSIHANDLE, LPCWSTR name, LPWSTR value, LPDWORD length)
{
    lstrcpynW(value, wcscmp(name, L"RUNMODE") ? L"" : L"MORA", *length);
    *length = lstrlenW(value);
    return ERROR_SUCCESS;
}

// Half of the target written, then the error, as Wine's CopyFileW leaves a broken copy.
BOOL WINAPI BreakingCopyFileW(LPCWSTR source, LPCWSTR target, BOOL failIfExists)
{
    for (DWORD i = 0; i < 2; ++i)
    {
        if (g_failing[i] && wcsstr(source, g_failing[i]))
        {
            const std::vector<BYTE> bytes = ReadFileBytes(source);
            WriteFileBytes(target, std::vector<BYTE>(bytes.begin(), bytes.begin() + bytes.size() / 2));
            SetLastError(i == 0 ? ERROR_DISK_FULL : ERROR_CRC);
            return FALSE;
        }
    }
    return reinterpret_cast<decltype(&CopyFileW)>(CFaultInjector::Original("CopyFileW"))(source, target,
                                                                                         failIfExists);
}

// Nested folders with non-ASCII names, every seventh file read-only, an ANSI CommonConfig.ccs.
TreeListing BuildDataTree(const std::wstring& root, int folders, int filesPerFolder)
{
    for (int f = 0; f < folders; ++f)
    {
        const std::wstring folder =
            root + L"\\Ordner-\u00e4-" + std::to_wstring(f) + (f % 2 ? L"\\\u8bbe\u7f6e" : L"");
        CreateDir(folder.c_str());
        for (int i = 0; i < filesPerFolder; ++i)
        {
            const std::wstring file = folder + L"\\f\u00e9" + std::to_wstring(i) + L".dat";
            WriteFileBytes(file, std::string((i * 37 + f) % 3000, static_cast<char>(i * 31 + f)));
            SetFileAttributesW(file.c_str(), i % 7 == 3 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
        }
    }
    WriteFileBytes(root + L"\\CommonConfig.ccs", std::string("[General]\r\nName=Caf\xE9\r\n"));
    return ListTree(root);
}

// The UTF-16LE text that the ANSI CommonConfig.ccs above becomes.
const std::string kConvertedConfig(
    "\xFF\xFE[\0G\0e\0n\0e\0r\0a\0l\0]\0\n\0N\0a\0m\0e\0=\0C\0a\0f\0\xE9\0\n\0", 42);

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
    ~EMData() override { SetEnvironmentVariableW(L"TMP", savedTemp.c_str()); }
    std::string Codes(const std::wstring& module) const // what the stand-in recorded
    {
        const std::vector<BYTE> bytes = ReadFileBytes(bin + L"\\" + module + L".dll.codes");
        DeleteFileW((bin + L"\\" + module + L".dll.codes").c_str());
        return std::string(bytes.begin(), bytes.end());
    }

    CTestDir dir;
    const std::wstring savedTemp = dir.Path().substr(0, dir.Path().rfind(L'\\'));
    const std::wstring bin = dir / L"bin", data = dir / L"Data", temp = dir / L"Temp",
                       backup = temp + L"\\Sentrel";
    CTestKey vendor{L"SOFTWARE\\Arvetta"}, setup{kSentrelKey + L"\\Setup"}, dataKey{kSentrelKey + L"\\DATA"};
};
} // namespace

TEST_F(EMData, RunMode5SavesTheSettingsOfModulesUpTo7_10AndCallsEveryModule)
{
    const struct
    {
        Modules modules;
        std::vector<std::wstring> saved;
        size_t skipped; // "newer than 7.10" lines
    } cases[] = {
        {{{L"EM_DEF", L"em_v7_10"}, {L"EM_DRVMON", L"em_noentry"}, {L"EM_UPDATE", L"em_v7_9"}},
         {L"EM_DEF\\CommonConfig.ccs", L"EM_DRVMON\\loggetd.bookmark", L"EM_UPDATE\\EM_UPDATE\\sub\\b.txt"},
         0},
        {{{L"EM_def", L"em_v7_10"}, {L"EM_DRVMON", L"em_v8_0"}, {L"EM_UPDATE", L"em_noentry"}}, {}, 1},
        {{{L"EM_DEF", L"em_v7_11"}, {L"EM_B", L"em_fault"}}, {}, 1},
    };
    CreateDir((data + L"\\EM_UPDATE\\sub").c_str());
    for (const wchar_t* file : {L"\\CommonConfig.ccs", L"\\loggetd.bookmark", L"\\EM_UPDATE\\sub\\b.txt"})
        WriteFileBytes(data + file, std::string("settings"));
    CFaultInjector injector;
    injector.Replace("msi.dll", "MsiGetPropertyW", &MoraRunMode);
    CTraceCapture trace(3);
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
        trace.Clear();
        EXPECT_EQ(0u, moraCA_EMDataBackup(0));
        EXPECT_EQ(row.skipped, trace.Count(L"DLL version > 7.10.xx. Special backup handling skipped."));
        for (const auto& [name, variant] : row.modules)
            EXPECT_EQ(variant == L"em_noentry" ? "" : "1;", Codes(name)) << Narrow(name);
        std::vector<std::wstring> files; // what the temporary directory holds, in name order
        for (const auto& [path, content] : ListTree(temp))
            if (content != "<dir>")
                files.push_back(path.substr(1));
        EXPECT_EQ(row.saved, files);
        EXPECT_EQ(!row.saved.empty(),
                  trace.Contains(L"\"EM_DRVMON\": Could not found DLL entry EM_SetupAction"));
    }
    // The other three actions leave the data to the modules, the faulty one included.
    CreateDir(backup.c_str());
    WriteFileBytes(backup + L"\\saved.txt", std::string("x"));
    EXPECT_EQ(0u, moraCA_EMDataRestore(0) + moraCA_EMDataConvert(0) + moraCA_EMDataCleanup(0));
    EXPECT_EQ("2;3;4;", Codes(L"EM_B"));
    EXPECT_FALSE(FileExists(data + L"\\saved.txt"));
}

TEST_F(EMData, FailingCopiesLoseNoSourceFileAndAReRunRestoresTheDataByteForByte)
{
    TreeListing original = BuildDataTree(data, 2, 12);
    const std::wstring folder = L"\\Ordner-\u00e4-0\\f\u00e9", inUse = data + folder + L"7.dat";
    CTraceCapture trace(3);
    for (const bool restoring : {false, true})
    {
        const std::wstring& from = restoring ? backup : data;
        const std::wstring& to = restoring ? data : backup;
        const HANDLE held = CreateFileW((from + folder + L"7.dat").c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
        {
            CFaultInjector injector;
            injector.Replace("kernel32.dll", "CopyFileW", &BreakingCopyFileW);
            g_failing[0] = L"f\u00e95.dat";
            g_failing[1] = L"f\u00e911.dat";
            EXPECT_EQ(0u, restoring ? moraCA_EMDataRestore(0) : moraCA_EMDataBackup(0));
            g_failing[0] = g_failing[1] = nullptr;
        }
        CloseHandle(held);
        EXPECT_TRUE(original == ListTree(from)) << "sources untouched";
        for (const auto& [file, error] :
             {std::pair(L"5.dat", L"0x70"), {L"11.dat", L"0x17"}, {L"7.dat", L"0x20"}})
        {
            EXPECT_TRUE(trace.Contains(L"ERROR " + std::wstring(error) + L"! Failed to copy file : \"" +
                                       from + folder + file + L"\""));
            EXPECT_TRUE(restoring || !FileExists(to + folder + file)) << "no partial copy";
        }
        EXPECT_TRUE(trace.Contains(restoring ? L"Failed to restore config of Sentrel"
                                             : L"Failed to copy config of Sentrel"));
        // Once the cause is gone, the same action completes: the backup is refilled, the
        // broken files of the data folder are replaced and the configuration converted.
        trace.Clear();
        EXPECT_EQ(0u, restoring ? moraCA_EMDataRestore(0) : moraCA_EMDataBackup(0));
        EXPECT_FALSE(trace.Contains(L"ERROR"));
        original[L"\\CommonConfig.ccs"] = restoring ? kConvertedConfig : original[L"\\CommonConfig.ccs"];
        EXPECT_TRUE(original == ListTree(to));
    }
    EXPECT_TRUE(trace.Contains(L"successfully converted to UTF16!"));
    trace.Clear();
    EXPECT_EQ(0u, moraCA_EMDataBackup(0) + moraCA_EMDataRestore(0));
    EXPECT_FALSE(trace.Contains(L"Convert \"")) << "a file with the mark stays as it is";

    // A data folder that is the temporary directory itself is not copied into itself.
    dataKey.DeleteValue(L"DataRoot");
    EXPECT_EQ(0u, moraCA_EMDataBackup(0));
    EXPECT_TRUE(trace.Contains(L"ERROR 0x57! Destination \"" + backup + L"\" lies inside the source"));
    EXPECT_TRUE(ListTree(backup).empty());
}

TEST_F(EMData, AnInstallCopiesTheDataAndTheStoppedAgentsFilesOutAndBack)
{
    const std::wstring kvq = dir / L"KVQ", db = kvq + L"\\var\\db\\kvqDb.db";
    CreateDir((kvq + L"\\var\\db").c_str());
    CreateDir((kvq + L"\\var\\log").c_str());
    WriteFileBytes(db, std::string("db-"));
    WriteFileBytes(kvq + L"\\var\\log\\kvq_status.xml", std::string("<status/>"));
    CTestKey agent(L"SOFTWARE\\Arvetta\\KVQ\\Setup");
    agent.SetString(L"FileRoot", kvq + L"\\");
    CTestKey uuid(L"SYSTEM\\CurrentControlSet\\Control\\UUID\\C3681B60-0D26-11D3-8319-00A0C9B61E25");
    uuid.SetString(L"KVQAgent", L"SOFTWARE\\Arvetta\\KVQ");
    CTestService service(L"kvq_srv", L"--hold " + db);
    ASSERT_TRUE(service.Start());
    TreeListing expected = BuildDataTree(data, 40, 50);
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
