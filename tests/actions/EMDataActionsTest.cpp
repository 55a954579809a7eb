// The extension-module data actions called as the installer calls them: the modules' own
// backup in run mode 5, the data folder's trip through the temporary directory otherwise.
#include "CustomActions.h"
#include "RunMode.h"
#include "support/ChildProcess.h"
#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "support/TestServices.h"
#include "support/TraceCapture.h"
#include "util/CDirectory.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <map>
#include <sstream>
#include <tuple>
#include <msiquery.h>

namespace
{
const std::wstring kSentrelKey = L"SOFTWARE\\Arvetta\\Management\\Sentrel";

// The installer's properties; one not set reads as empty, as the installer answers.
std::map<std::wstring, std::wstring> g_properties;

UINT WINAPI FakeMsiGetPropertyW(MSIHANDLE, LPCWSTR name, LPWSTR value, LPDWORD length)
{
    const std::wstring& property = g_properties[name];
    const bool fits = property.size() < *length;
    lstrcpynW(value, property.c_str(), *length);
    *length = static_cast<DWORD>(property.size());
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

CVirtualClock* g_clock = nullptr;

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
        {{{L"EM_DEF", L"em_v7_11"}, {L"EM_B", L"em_fault"}, {L"EM_C", L"em_error"}}, {}},
    };
    CreateDir((data + L"\\EM_UPDATE\\sub").c_str());
    for (const wchar_t* file : {L"\\CommonConfig.ccs", L"\\loggetd.bookmark", L"\\EM_UPDATE\\sub\\b.txt"})
        WriteFileBytes(data + file, std::string("settings"));
    CFaultInjector injector;
    g_properties = {{L"RUNMODE", L"MORA"}};
    injector.Replace("msi.dll", "MsiGetPropertyW", &FakeMsiGetPropertyW);
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
    // The other three actions only call the modules. A module whose restore faulted or did not
    // answer 1 is not told to clean up, which is when it would delete its backup.
    for (const wchar_t* module : {L"EM_DEF", L"EM_B", L"EM_C"})
        DeleteFileW((bin + L"\\" + module + L".dll.codes").c_str());
    EXPECT_EQ(0u, moraCA_EMDataRestore(0) + moraCA_EMDataConvert(0) + moraCA_EMDataCleanup(0));
    for (const auto& [module, codes] : {std::pair(L"EM_DEF", "2;3;4;"), {L"EM_B", "2;3;"}, {L"EM_C", "2;3;"}})
        EXPECT_EQ(codes, ReadFileString(bin + L"\\" + module + L".dll.codes")) << Narrow(module);
    // In the installer's own run mode, these modules (run mode 5's only) are not called.
    g_properties.clear();
    DeleteFileW((bin + L"\\EM_DEF.dll.codes").c_str());
    EXPECT_EQ(0u, moraCA_EMDataConvert(0) + moraCA_EMDataCleanup(0));
    EXPECT_FALSE(FileExists(bin + L"\\EM_DEF.dll.codes"));
}

// A deferred action finds RUNMODE empty and the value in CustomActionData; a value too long for
// the buffer counts as none.
TEST(RunMode, AWholeWordInAnyCaseFromRunModeOrWhenItIsEmptyFromCustomActionData)
{
    const std::tuple<const wchar_t*, std::wstring, int> cases[] = {
        {L"mOrA", L"TELIX", RUN_MODE_MORA},
        {L"Telix", L"", RUN_MODE_TELIX},
        {L" ", L"MORA", 0},
        {L"", L"mOrA", RUN_MODE_MORA},
        {L"", L"telix", RUN_MODE_TELIX},
        {L"", L"MORA ", 0},
        {L"", L"TELIXX", 0},
        {L"", L"MOR", 0},
        {L"", L"", 0},
        {L"", L"MORA" + std::wstring(300, L' '), 0}};
    CFaultInjector injector;
    injector.Replace("msi.dll", "MsiGetPropertyW", &FakeMsiGetPropertyW);
    for (const auto& [runMode, data, expected] : cases)
    {
        g_properties = {{L"RUNMODE", runMode}, {L"CustomActionData", data}};
        EXPECT_EQ(expected, GetRunMode(1)) << Narrow(runMode) << "|" << Narrow(data);
    }
}

// Every saved file survives an upgrade that runs again, breaks off or fails: each step below
// is what a rerun, a locked file or an old version running on leaves behind.
TEST_F(EMData, NoSavedFileIsLostWhenAnUpgradeRunsAgainBreaksOffOrFails)
{
    const std::wstring folder = L"\\Ordner-\u00e4-0\\f\u00e9";
    TreeListing saved = BuildDataTree(data, 2, 12);
    saved[L"\\CommonConfig.ccs"] = kUtf16Config;
    CTraceCapture trace(2);
    // What a backup killed halfway left behind never reaches the data folder.
    CreateDir((backup + L".partial").c_str());
    WriteFileBytes(backup + L".partial\\half-written.dat", std::string("stale"));
    EXPECT_EQ(0u, moraCA_EMDataBackup(0) + moraCA_EMDataRestore(0));
    EXPECT_EQ(saved, ListTree(data));

    // The next upgrade breaks off after its backup, once the data folder is gone. Run again,
    // the backup keeps the copy it made, and the restore brings every file back.
    EXPECT_EQ(0u, moraCA_EMDataBackup(0));
    RemoveTree(data);
    EXPECT_EQ(0u, moraCA_EMDataBackup(0));
    EXPECT_TRUE(trace.Contains(L"WARNING! The saved copy \"" + backup + L"\" has not been restored yet"));
    EXPECT_EQ(0u, moraCA_EMDataRestore(0));
    EXPECT_EQ(saved, ListTree(data));

    // A backup that breaks off on two files still becomes the copy to restore. The installation then removes
    // one of them: it comes back from the copy before, while the newer file that the data folder kept stays
    // as it is.
    WriteFileBytes(data + folder + L"5.dat", std::string("newer, never saved"));
    WriteFileBytes(data + folder + L"11.dat", std::string("newer, kept in the data folder"));
    TreeListing expected = ListTree(data);
    expected[folder + L"5.dat"] = saved[folder + L"5.dat"];
    {
        CFaultInjector injector;
        injector.Replace("kernel32.dll", "CopyFileW", &BreakingCopyFileW);
        EXPECT_EQ(0u, moraCA_EMDataBackup(0));
    }
    for (const wchar_t* file : {L"5.dat", L"11.dat"})
    {
        EXPECT_FALSE(FileExists(backup + folder + file)) << "no partial copy";
        EXPECT_TRUE(trace.Contains(L"WARNING! \"Ordner-\u00e4-0\\f\u00e9" + std::wstring(file) +
                                   L"\" could not be saved"));
    }
    DeleteFileW((data + folder + L"5.dat").c_str());
    EXPECT_EQ(0u, moraCA_EMDataRestore(0));
    EXPECT_EQ(expected, ListTree(data));
    EXPECT_FALSE(FileExists(backup + L".previous")) << "discarded once a newer copy is restored";

    // The old version ran on after an upgrade that never restored its copy: that copy is not
    // put back over the newer data, which is saved afresh.
    EXPECT_EQ(0u, moraCA_EMDataBackup(0));
    Sleep(20);
    WriteFileBytes(data + L"\\written-later.txt", std::string("by the service"));
    EXPECT_EQ(0u, moraCA_EMDataBackup(0));
    EXPECT_EQ("by the service", ListTree(backup)[L"\\written-later.txt"]);
    EXPECT_EQ(expected, ListTree(backup + L".previous"));

    // A rollback that runs after the upgrade restored the copy and after the product's registry
    // values went puts that copy back where it was saved from.
    EXPECT_EQ(0u, moraCA_EMDataRestore(0));
    dataKey.DeleteValue(L"DataRoot");
    DeleteFileW((data + L"\\written-later.txt").c_str());
    EXPECT_EQ(0u, moraCA_EMDataRollback(0));
    EXPECT_EQ("by the service", ListTree(data)[L"\\written-later.txt"]);

    // A first installation, whose data folder is only the temporary directory, saves nothing
    // and reports no error.
    RemoveTree(temp);
    trace.Clear();
    EXPECT_EQ(0u, moraCA_EMDataBackup(0));
    EXPECT_TRUE(trace.Contains(L"There is no data folder to save"));
    EXPECT_FALSE(trace.Contains(L"ERROR"));
}

// Cancelled, the backup finishes its file and stops; what it saved becomes the copy to restore
// with the rest marked as not saved, so that the rollback never puts older data back.
TEST_F(EMData, ACancelledBackupStopsAfterItsFileAndTheRollbackKeepsTheNewerData)
{
    BuildDataTree(data, 3, 10);
    EXPECT_EQ(0u, moraCA_EMDataBackup(0) + moraCA_EMDataRestore(0));
    WriteFileBytes(data + L"\\CommonConfig.ccs", std::string("newer"));
    const TreeListing newer = ListTree(data);
    {
        CFaultInjector injector;
        CVirtualClock clock(injector);
        g_clock = &clock;
        // The user cancels at the first file the installer hears of.
        FAKE_IMPORT(injector, "msi.dll", MsiProcessMessage, [](auto, auto type, auto record) {
            return type == INSTALLMESSAGE_ACTIONDATA && MsiRecordGetInteger(record, 2) > 0 ? IDCANCEL : IDOK;
        });
        FAKE_IMPORT(injector, "kernel32.dll", CopyFileW, [](LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
            g_clock->Advance(100);
            return ORIGINAL(CopyFileW)(from, to, failIfExists);
        });
        EXPECT_EQ(static_cast<UINT>(ERROR_INSTALL_USEREXIT), moraCA_EMDataBackup(0x4711));
    }
    const TreeListing saved = ListTree(backup);
    EXPECT_EQ(3, std::count_if(saved.begin(), saved.end(),
                               [](const auto& entry) { return entry.second != "<dir>"; }))
        << "a message every 250 ms, one file every 100 ms";
    EXPECT_EQ(0u, moraCA_EMDataRollback(0));
    EXPECT_TRUE(newer == ListTree(data)) << "the older copy put back";
}

namespace
{
// What ui_host recorded during MsiCA's actions: the action data and the time-stamped log lines
// by the name the ActionStart message gives, the ticks added to the bar's total and those it
// moved by.
struct Recorded
{
    std::map<std::wstring, std::vector<std::wstring>> data, log;
    long long reserved = 0, moved = 0, backwards = 0;
};

Recorded ReadRecorded(const std::wstring& path)
{
    std::wstringstream text(ReadUtf16File(path));
    Recorded recorded;
    std::wstring action;
    unsigned long long ms = 0, type = 0;
    for (std::wstring line; text >> ms >> type && std::getline(text, line);)
    {
        line = line.substr(1, line.find_last_not_of(L'\r'));
        long long kind = 0, ticks = 0;
        swscanf(line.c_str(), L"1: %lld 2: %lld", &kind, &ticks);
        const size_t name = line.find(L": ") + 2;
        if (type == INSTALLMESSAGE_ACTIONSTART >> 24)
            action = line.find(L"CA_") == std::wstring::npos
                         ? L""
                         : line.substr(name, line.find(L'.', name) - name);
        else if (!action.empty() && type == INSTALLMESSAGE_INFO >> 24 && line.size() > 15 &&
                 line[0] == L'[' && line[13] == L']')
            recorded.log[action].push_back(line.substr(15));
        else if (!action.empty() && type == INSTALLMESSAGE_ACTIONDATA >> 24)
            recorded.data[action].push_back(line);
        else if (!action.empty() && type == INSTALLMESSAGE_PROGRESS >> 24)
        {
            (kind == 2 ? recorded.moved : recorded.reserved) += kind == 2 || kind == 3 ? ticks : 0;
            recorded.backwards += kind == 2 && ticks <= 0;
        }
    }
    return recorded;
}
} // namespace

// Installed by a setup program with its own window (ui_host): the data actions also show their
// files on the installer's action text, move its progress bar and write into its log. Run mode 0: Wine's
// msiexec loses the ActionText row of a deferred action that has CustomActionData (RUNMODE set).
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

    TraceRegistry trace;
    trace.application.SetDword(L"MsiLogDebugLevel", 2).SetDword(L"TimeStampOn", 1);
    const std::wstring package = L"\"" + BinPath(L"MsiCASample.msi") + L"\"";
    const std::wstring messages = dir / L"messages.txt";
    EXPECT_EQ(0u, RunProcess(L"\"" + BinPath(L"ui_host.exe") + L"\" " + package + L" \"" + messages +
                                 L"\" ADDLOCAL=Main",
                             180000));
    EXPECT_EQ(0u, RunProcess(L"msiexec /x " + package + L" /qn"));
    expected[L"\\kvqDb.db"] = "kvq-flushed"; // copied after the service's last write
    expected[L"\\kvq_status.xml"] = "kvq-";
    EXPECT_TRUE(expected == ListTree(backup));
    expected[L"\\CommonConfig.ccs"] = kUtf16Config;
    EXPECT_TRUE(expected == ListTree(data));

    Recorded recorded = ReadRecorded(messages);
    const std::wstring tag = L"MsiCA               : ";
    for (const auto& [name, entry, last] :
         {std::tuple(L"moraCA_EMDataBackup", L"moraCA_EMDataBackup", L" (2001 of 2001)"),
          {L"moraCA_EMDataRestore", L"MoraCA_EMDataRestore", L" (2003 of 2003)"}})
    {
        // The subject first, then a few files a second up to the last.
        const std::vector<std::wstring>& sent = recorded.data[name];
        EXPECT_EQ(L"Sentrel", sent.empty() ? L"" : sent.front()) << Narrow(name);
        EXPECT_GT(200u, sent.size()) << "never one message per file";
        EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [&](auto& text) { return EndsWith(text, last); }))
            << Narrow(name);
        // The action's lines between its own, time stamps and all: the entry line first, the
        // lines of level 2 after it.
        const std::vector<std::wstring>& lines = recorded.log[name];
        EXPECT_EQ(tag + entry, lines.empty() ? L"" : lines.front());
        EXPECT_EQ(1, std::count(lines.begin(), lines.end(), tag + L"Run mode set to 0")) << Narrow(name);
    }
    // Forward only, and exactly the ticks reserved for the actions that ran.
    EXPECT_EQ(0, recorded.backwards);
    EXPECT_EQ(recorded.reserved, recorded.moved);
}
