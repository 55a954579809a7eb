#include "support/ChildProcess.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>
#include <sstream>

// The sample package installed by Wine's msiexec: the data actions run deferred in a real
// installer session, find RUNMODE in their CustomActionData and write into its log.

namespace
{
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
    // The KVQ agent is named: a first install runs the data actions only where there are KVQ
    // agent settings to carry over.
    CTestKey uuid{L"SYSTEM\\CurrentControlSet\\Control\\UUID\\C3681B60-0D26-11D3-8319-00A0C9B61E25"};
    uuid.SetString(L"KVQAgent", L"SOFTWARE\\Arvetta\\KVQ");
    const std::wstring package = L"\"" + BinPath(L"MsiCASample.msi") + L"\"";
    EXPECT_EQ(0u, RunProcess(L"msiexec /i " + package + L" /qn ADDLOCAL=Main RUNMODE=Telix /l*v \"" +
                                 dir / L"install.log" + L"\"",
                             120000));
    EXPECT_EQ(0u, RunProcess(L"msiexec /x " + package + L" /qn"));
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
