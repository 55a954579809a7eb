#include "support/ChildProcess.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include "util/CUniqueHandle.h"
#include <gtest/gtest.h>
#include <functional>
#include <sstream>

// The sample package installed by Wine's msiexec: the data actions run deferred in a real
// installer session, find RUNMODE in their CustomActionData and keep the saved copy of the
// data folder from one session to the next.

namespace
{
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
    TraceRegistry registry;
    registry.application.SetDword(L"MsiLogDebugLevel", 2).SetDword(L"TimeStampOn", 1);
    InstallAndRemove(L"RUNMODE=Telix /l*v \"" + dir / L"install.log" + L"\"");
    const std::string log = ReadFileString(dir / L"install.log");
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
