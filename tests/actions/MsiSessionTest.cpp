#include "support/ChildProcess.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include <gtest/gtest.h>
#include <map>
#include <sstream>

// The sample package installed by Wine's msiexec: the exports run in a real installer
// session, immediate ones reading RUNMODE, deferred ones reading CustomActionData.

namespace
{
const wchar_t kTag[] = L"MsiCA               : ";
const wchar_t kImmediate[] = L"moraCA_EMDataBackup";
const wchar_t kDeferred[] = L"MoraCA_EMDataRestore";
using Lines = std::vector<std::wstring>;

// Installs and removes the sample package with the given extra properties; returns the
// trace lines (tags removed) of each action, by the action's entry line.
std::map<std::wstring, Lines> RunSession(const std::wstring& properties)
{
    CTestDir dir;
    CTestKey global{L"SOFTWARE\\Debug"};
    CTestKey application{L"SOFTWARE\\Debug\\MsiCA"};
    application.SetDword(L"FileDebugLevel", 2).SetString(L"TraceFile", dir / L"session.log");
    const std::wstring package = L"\"" + BinPath(L"MsiCASample.msi") + L"\"";
    EXPECT_EQ(0u, RunProcess(L"msiexec /i " + package + L" /qn ADDLOCAL=Main " + properties));
    EXPECT_EQ(0u, RunProcess(L"msiexec /x " + package + L" /qn"));
    std::wstringstream text(ReadUtf16File(dir / L"session.log"));
    std::map<std::wstring, Lines> actions;
    Lines* action = nullptr;
    for (std::wstring line; std::getline(text, line);)
    {
        if (line.rfind(kTag, 0) != 0)
            continue;
        line = line.substr(wcslen(kTag), line.find_last_not_of(L'\r') + 1 - wcslen(kTag));
        if (line == kImmediate || line == kDeferred)
            action = &actions[line];
        else if (line.rfind(L"DllMain", 0) == 0)
            action = nullptr;
        // The run mode's lines; the actions' own steps follow them.
        else if (action && (line.find(L"RUNMODE") != std::wstring::npos ||
                            line.find(L"un mode") != std::wstring::npos ||
                            line.find(L"CustomActionData") != std::wstring::npos))
            action->push_back(line);
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
// Run mode 5's restore determines the run mode once more before it calls the modules.
Lines RunModeTwice(const Lines& once)
{
    Lines twice = once;
    twice.insert(twice.end(), once.begin(), once.end() - 1);
    return twice;
}
} // namespace

TEST(MsiSession, RunModeReachesImmediateActionsAndThroughCustomActionDataDeferredOnes)
{
    const std::wstring tooLong = L"RUNMODE=" + std::wstring(300, L'M');
    const Lines notSet = {L"Run mode set to 0", L"Setup run mode: 0"};
    const struct
    {
        std::wstring properties;
        Lines immediate, deferred;
    } cases[] = {
        {L"RUNMODE=mOrA", FromRunMode(L"mOrA", 5), RunModeTwice(FromCustomActionData(L"mOrA", 5))},
        {L"RUNMODE=telix", FromRunMode(L"telix", 1), FromCustomActionData(L"telix", 1)},
        {L"RUNMODE=\"MORA \"", FromRunMode(L"MORA ", 0), FromCustomActionData(L"MORA ", 0)},
        {L"RUNMODE=TELIXX", FromRunMode(L"TELIXX", 0), FromCustomActionData(L"TELIXX", 0)},
        {L"", FromCustomActionData(L"", 0), FromCustomActionData(L"", 0)},
        // Too long for its buffer: not set, and the deferred action's buffer stays empty.
        {tooLong,
         {L"WARNING! MSI Property \"RUNMODE\" NOT set!", notSet[0], notSet[1]},
         {FromCustomActionData(L"", 0)[0], L"MSI Property \"RUNMODE\"=\"\"", notSet[0], notSet[1]}},
    };
    for (const auto& c : cases)
    {
        auto actions = RunSession(c.properties);
        EXPECT_EQ(c.immediate, actions[kImmediate]) << Narrow(c.properties);
        EXPECT_EQ(c.deferred, actions[kDeferred]) << Narrow(c.properties);
    }
}

namespace
{
// Installs and removes the sample package with a verbose installer log; returns the
// installation's log.
std::string InstallWithLog(const CTestDir& dir)
{
    const std::wstring package = L"\"" + BinPath(L"MsiCASample.msi") + L"\"";
    const std::wstring log = dir / L"install.log";
    EXPECT_EQ(
        0u, RunProcess(L"msiexec /i " + package + L" /qn ADDLOCAL=Main RUNMODE=Telix /l*v \"" + log + L"\""));
    EXPECT_EQ(0u, RunProcess(L"msiexec /x " + package + L" /qn"));
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
    const std::vector<std::string> immediate = {"MsiCA               : moraCA_EMDataBackup",
                                                "MsiCA               : MSI Property \"RUNMODE\"=\"Telix\"",
                                                "MsiCA               : Run mode set to 1",
                                                "MsiCA               : Setup run mode: 1"};
    EXPECT_EQ(immediate, LinesOfAction(log, "moraCA_EMDataBackup"));
    const std::vector<std::string> deferred = {
        "MsiCA               : MoraCA_EMDataRestore",
        "MsiCA               : Empty property \"RUNMODE\" found! Check for MSI Property \"CustomActionData\"",
        "MsiCA               : Found CustomActionData: \"Telix\"",
        "MsiCA               : MSI Property \"RUNMODE\"=\"Telix\"",
        "MsiCA               : Run mode set to 1",
        "MsiCA               : Setup run mode: 1"};
    EXPECT_EQ(deferred, LinesOfAction(log, "moraCA_EMDataRestore"));
    EXPECT_NE(std::string::npos, log.find("] MsiCA               : Sentrel Bin Path: "))
        << "all lines of level 2";
    EXPECT_EQ(std::string::npos, log.find("DllMain")) << "no action runs while the library loads";
}
