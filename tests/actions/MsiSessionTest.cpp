#include "support/ChildProcess.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "util/CUniqueHandle.h"
#include <gtest/gtest.h>
#include <functional>
#include <map>
#include <sstream>

// The sample package installed by Wine's msiexec: the data actions run deferred in a real
// installer session, find RUNMODE in their CustomActionData and keep the saved copy of the
// data folder from one session to the next.

namespace
{
const wchar_t kTag[] = L"MsiCA               : ";
const wchar_t kBackup[] = L"moraCA_EMDataBackup";
const wchar_t kRestore[] = L"MoraCA_EMDataRestore";
using Lines = std::vector<std::wstring>;

// Installs the sample package with the given extra properties, running meanwhile during the
// installation, and removes it. The KVQ agent is named: a first install runs the data actions
// only where there are KVQ agent settings to carry over.
void InstallAndRemove(const std::wstring& properties, const std::function<void()>& meanwhile = {})
{
    CTestKey uuid{L"SYSTEM\\CurrentControlSet\\Control\\UUID\\C3681B60-0D26-11D3-8319-00A0C9B61E25"};
    uuid.SetString(L"KVQAgent", L"SOFTWARE\\Arvetta\\KVQ");
    const std::wstring package = L"\"" + BinPath(L"MsiCASample.msi") + L"\"";
    EXPECT_EQ(0u,
              RunProcess(L"msiexec /i " + package + L" /qn ADDLOCAL=Main " + properties, 120000, meanwhile));
    EXPECT_EQ(0u, RunProcess(L"msiexec /x " + package + L" /qn"));
}

// Installs and removes the sample package with the given extra properties; returns, by the
// action's entry line, the run-mode lines (tags removed) each action wrote before its steps.
std::map<std::wstring, Lines> RunSession(const std::wstring& properties)
{
    CTestDir dir;
    CTestKey global{L"SOFTWARE\\Debug"};
    CTestKey application{L"SOFTWARE\\Debug\\MsiCA"};
    application.SetDword(L"FileDebugLevel", 2).SetString(L"TraceFile", dir / L"session.log");
    InstallAndRemove(properties);
    std::wstringstream text(ReadUtf16File(dir / L"session.log"));
    std::map<std::wstring, Lines> actions;
    Lines* action = nullptr;
    for (std::wstring line; std::getline(text, line);)
    {
        if (line.rfind(kTag, 0) != 0)
            continue;
        line = line.substr(wcslen(kTag), line.find_last_not_of(L'\r') + 1 - wcslen(kTag));
        if (line == kBackup || line == kRestore)
            action = &actions[line];
        else if (line.rfind(L"DllMain", 0) == 0)
            action = nullptr;
        else if (action && (line.find(L"RUNMODE") != std::wstring::npos ||
                            line.find(L"un mode") != std::wstring::npos ||
                            line.find(L"CustomActionData") != std::wstring::npos))
        {
            action->push_back(line);
            action = line.rfind(L"Setup run mode", 0) == 0 ? nullptr : action;
        }
    }
    return actions;
}

Lines FromRunMode(const std::wstring& value, int mode)
{
    return {L"MSI Property \"RUNMODE\"=\"" + value + L"\"", L"Run mode set to " + std::to_wstring(mode),
            L"Setup run mode: " + std::to_wstring(mode)};
}

Lines FromCustomActionData(const std::wstring& value, int mode)
{
    Lines lines = {L"Empty property \"RUNMODE\" found! Check for MSI Property \"CustomActionData\"",
                   L"Found CustomActionData: \"" + value + L"\""};
    for (auto& line : FromRunMode(value, mode))
        lines.push_back(line);
    return lines;
}
} // namespace

TEST(MsiSession, RunModeReachesTheDeferredDataActionsThroughCustomActionData)
{
    const struct
    {
        std::wstring properties;
        Lines expected;
    } cases[] = {
        {L"RUNMODE=mOrA", FromCustomActionData(L"mOrA", 5)},
        {L"RUNMODE=telix", FromCustomActionData(L"telix", 1)},
        {L"RUNMODE=\"MORA \"", FromCustomActionData(L"MORA ", 0)},
        {L"RUNMODE=TELIXX", FromCustomActionData(L"TELIXX", 0)},
        {L"", FromCustomActionData(L"", 0)},
        // Too long for its buffer: the buffer stays empty.
        {L"RUNMODE=" + std::wstring(300, L'M'),
         {FromCustomActionData(L"", 0)[0], L"MSI Property \"RUNMODE\"=\"\"", L"Run mode set to 0",
          L"Setup run mode: 0"}},
    };
    for (const auto& c : cases)
    {
        auto actions = RunSession(c.properties);
        EXPECT_EQ(c.expected, actions[kBackup]) << Narrow(c.properties);
        EXPECT_EQ(c.expected, actions[kRestore]) << Narrow(c.properties);
    }
}

namespace
{
// Installs and removes the sample package with a verbose installer log; returns the
// installation's log.
std::string InstallWithLog(const CTestDir& dir)
{
    const std::wstring log = dir / L"install.log";
    InstallAndRemove(L"RUNMODE=Telix /l*v \"" + log + L"\"");
    const std::vector<BYTE> bytes = ReadFileBytes(log);
    return std::string(bytes.begin(), bytes.end());
}

// The entry and run-mode lines of an action in the installer's log, less their time stamps
// (which brackets the installer must not take for properties).
std::vector<std::string> LinesOfAction(const std::string& log, const std::string& action)
{
    std::vector<std::string> lines;
    std::istringstream text(log);
    bool inside = false;
    for (std::string line; std::getline(text, line);)
    {
        line.erase(line.find_last_not_of('\r') + 1);
        if (line.rfind("Action ", 0) == 0)
            inside =
                line.rfind("Action start ", 0) == 0 && line.find(": " + action + ".") != std::string::npos;
        else if (inside && line.size() > 15 && line[0] == '[' && line[13] == ']' &&
                 (_stricmp(line.c_str() + 15, ("MsiCA               : " + action).c_str()) == 0 ||
                  line.find("RUNMODE") != std::string::npos || line.find("un mode") != std::string::npos ||
                  line.find("CustomActionData") != std::string::npos))
            lines.push_back(line.substr(15));
    }
    return lines;
}
} // namespace

TEST(MsiSession, TheInstallerLogHoldsTheLinesOfEachActionBetweenItsOwn)
{
    CTestDir dir;
    CTestKey global{L"SOFTWARE\\Debug"};
    CTestKey application{L"SOFTWARE\\Debug\\MsiCA"};
    EXPECT_EQ(std::string::npos, InstallWithLog(dir).find("MsiCA  ")) << "off without its value";

    application.SetDword(L"MsiLogDebugLevel", 2).SetDword(L"TimeStampOn", 1);
    const std::string log = InstallWithLog(dir);
    // Both deferred: they read RUNMODE from CustomActionData.
    for (const std::string entry : {"moraCA_EMDataBackup", "MoraCA_EMDataRestore"})
    {
        const std::vector<std::string> expected = {"MsiCA               : " + entry,
                                                   "MsiCA               : Empty property \"RUNMODE\" found! "
                                                   "Check for MSI Property \"CustomActionData\"",
                                                   "MsiCA               : Found CustomActionData: \"Telix\"",
                                                   "MsiCA               : MSI Property \"RUNMODE\"=\"Telix\"",
                                                   "MsiCA               : Run mode set to 1",
                                                   "MsiCA               : Setup run mode: 1"};
        EXPECT_EQ(expected, LinesOfAction(log, "m" + entry.substr(1)));
    }
    EXPECT_NE(std::string::npos, log.find("] MsiCA               : Sentrel Bin Path: "))
        << "all lines of level 2";
    EXPECT_EQ(std::string::npos, log.find("DllMain")) << "no action runs while the library loads";
}

// Each session's first install runs the backup and the restore, here of a data folder of the
// test's through its temporary directory.
TEST(MsiSession, TheSavedCopyOutlivesABackupWithoutDataAndOneThatBreaksOff)
{
    CTestDir dir;
    const std::wstring data = dir / L"Data", temp = dir / L"Temp", copy = temp + L"\\Sentrel";
    CTestKey vendor{L"SOFTWARE\\Arvetta"}, dataKey{L"SOFTWARE\\Arvetta\\Management\\Sentrel\\DATA"};
    dataKey.SetString(L"DataRoot", data);
    CreateDirectoryW(temp.c_str(), nullptr);
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    for (const wchar_t* folder : {L"", L"\\cache", L"\\cache\\deep"})
    {
        CreateDirectoryW((data + folder).c_str(), nullptr);
        for (const wchar_t* file : {L"\\a.dat", L"\\b.dat"})
            WriteFileBytes(data + folder + file, Narrow(std::wstring(folder) + file));
    }
    InstallAndRemove(L"");
    const TreeListing saved = ListTree(data);

    // The data folder is gone: the backup keeps the copy it has, and the restore brings every
    // file back.
    RemoveTree(data);
    InstallAndRemove(L"");
    ASSERT_EQ(saved, ListTree(data));

    // Two newer files held open without sharing until the backup is done: its copy breaks off
    // on them. One leaves the data folder before the restore and comes back from the copy
    // before; the other stays as it is, and so do the other newer files.
    const std::wstring gone = data + L"\\cache\\a.dat", kept = data + L"\\cache\\deep\\b.dat";
    for (const std::wstring& file : {gone, kept, data + L"\\b.dat"})
        WriteFileBytes(file, std::string("newer"));
    TreeListing expected = ListTree(data);
    expected[L"\\cache\\a.dat"] = saved.at(L"\\cache\\a.dat");
    CKernelHandle heldKept(CreateFileW(kept.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    CKernelHandle heldGone(CreateFileW(gone.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    InstallAndRemove(L"", [&] {
        // The backup's last step is its mark; the restore begins after the installation's files.
        for (int ms = 0; !FileExists(copy + L".pending") && ms < 60000; ++ms)
            Sleep(1);
        heldGone.Reset();
        heldKept.Reset();
        DeleteFileW(gone.c_str());
        EXPECT_FALSE(FileExists(copy + L".restoring")) << "the file must leave before the restore begins";
    });
    EXPECT_EQ(expected, ListTree(data));
    SetEnvironmentVariableW(L"TMP", nullptr);
}
