#include "support/ChildProcess.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include <gtest/gtest.h>
#include <regex>
#include <sstream>

// The sample package installed by Wine's msiexec: the exports run in a real installer
// session, immediate ones reading RUNMODE, deferred ones reading CustomActionData.

namespace
{
const wchar_t kTag[] = L"MsiCA               : ";

class MsiSession : public testing::Test
{
  protected:
    MsiSession() { application.SetDword(L"FileDebugLevel", 2).SetString(L"TraceFile", dir / L"session.log"); }

    // Installs and removes the sample package with the given extra properties; returns the
    // trace lines (tags removed) that the action whose entry line is entry wrote.
    std::vector<std::wstring> RunAction(const std::wstring& properties, const std::wstring& entry)
    {
        const std::wstring package = L"\"" + BinPath(L"MsiCASample.msi") + L"\"";
        EXPECT_EQ(0u, RunProcess(L"msiexec /i " + package + L" /qn ADDLOCAL=Main " + properties));
        EXPECT_EQ(0u, RunProcess(L"msiexec /x " + package + L" /qn"));
        std::wstringstream text(ReadUtf16File(dir / L"session.log"));
        DeleteFileW((dir / L"session.log").c_str());

        std::vector<std::wstring> lines;
        bool inside = false;
        for (std::wstring line; std::getline(text, line);)
        {
            if (!line.empty() && line.back() == L'\r')
            {
                line.pop_back();
            }
            if (line.rfind(kTag, 0) != 0)
            {
                continue;
            }
            line = line.substr(wcslen(kTag));
            if (line == entry)
            {
                inside = true;
                continue;
            }
            if (line.rfind(L"DllMain", 0) == 0)
            {
                inside = false;
            }
            if (inside)
            {
                lines.push_back(line);
            }
        }
        return lines;
    }

    // Installs and removes the sample package with a verbose installer log; returns the
    // installation's log.
    std::string InstallWithLog()
    {
        const std::wstring package = L"\"" + BinPath(L"MsiCASample.msi") + L"\"";
        const std::wstring log = dir / L"install.log";
        EXPECT_EQ(0u, RunProcess(L"msiexec /i " + package + L" /qn ADDLOCAL=Main RUNMODE=Telix /l*v \"" +
                                 log + L"\""));
        EXPECT_EQ(0u, RunProcess(L"msiexec /x " + package + L" /qn"));
        const std::vector<BYTE> bytes = ReadFileBytes(log);
        return std::string(bytes.begin(), bytes.end());
    }

    CTestDir dir;
    CTestKey global{L"SOFTWARE\\Debug"};
    CTestKey application{L"SOFTWARE\\Debug\\MsiCA"};
};

std::vector<std::wstring> FromRunMode(const std::wstring& value, int mode)
{
    return {L"MSI Property \"RUNMODE\"=\"" + value + L"\"", L"Run mode set to " + std::to_wstring(mode),
            L"Setup run mode: " + std::to_wstring(mode)};
}

std::vector<std::wstring> FromCustomActionData(const std::wstring& value, int mode)
{
    std::vector<std::wstring> lines = {
        L"Empty property \"RUNMODE\" found! Check for MSI Property \"CustomActionData\"",
        L"Found CustomActionData: \"" + value + L"\""};
    for (auto& line : FromRunMode(value, mode))
    {
        lines.push_back(line);
    }
    return lines;
}
} // namespace

TEST_F(MsiSession, RunModeFromTheCommandLineReachesAnImmediateAction)
{
    EXPECT_EQ(FromRunMode(L"mOrA", 5), RunAction(L"RUNMODE=mOrA", L"moraCA_EMDataBackup"));
    EXPECT_EQ(FromRunMode(L"telix", 1), RunAction(L"RUNMODE=telix", L"moraCA_EMDataBackup"));
    EXPECT_EQ(FromRunMode(L"MORA ", 0), RunAction(L"RUNMODE=\"MORA \"", L"moraCA_EMDataBackup"));
    EXPECT_EQ(FromRunMode(L"TELIXX", 0), RunAction(L"RUNMODE=TELIXX", L"moraCA_EMDataBackup"));
}

TEST_F(MsiSession, ADeferredActionTakesCustomActionDataWhenRunModeIsEmpty)
{
    EXPECT_EQ(FromCustomActionData(L"Telix", 1), RunAction(L"RUNMODE=Telix", L"MoraCA_EMDataRestore"));
    EXPECT_EQ(FromCustomActionData(L"MORA", 5), RunAction(L"RUNMODE=MORA", L"MoraCA_EMDataRestore"));
}

TEST_F(MsiSession, AnAbsentRunModeGivesZeroWithAnEmptyValue)
{
    EXPECT_EQ(FromCustomActionData(L"", 0), RunAction(L"", L"moraCA_EMDataBackup"));
    EXPECT_EQ(FromCustomActionData(L"", 0), RunAction(L"", L"MoraCA_EMDataRestore"));
}

TEST_F(MsiSession, ARunModeTooLongForItsBufferIsNotSet)
{
    const std::wstring tooLong(300, L'M');
    const std::vector<std::wstring> warning = {L"WARNING! MSI Property \"RUNMODE\" NOT set!",
                                               L"Run mode set to 0", L"Setup run mode: 0"};
    EXPECT_EQ(warning, RunAction(L"RUNMODE=" + tooLong, L"moraCA_EMDataBackup"));
    // The deferred action's CustomActionData is too long as well: its buffer stays empty.
    const std::vector<std::wstring> emptied = {
        L"Empty property \"RUNMODE\" found! Check for MSI Property \"CustomActionData\"",
        L"MSI Property \"RUNMODE\"=\"\"", L"Run mode set to 0", L"Setup run mode: 0"};
    EXPECT_EQ(emptied, RunAction(L"RUNMODE=" + tooLong, L"MoraCA_EMDataRestore"));
}

// The lines of the installer's log between "Action start" and "Action ended" of an action,
// less their time stamps; a line without one is taken whole.
std::vector<std::string> LinesOfAction(const std::string& log, const std::string& action)
{
    static const std::regex kStart("Action start [0-9:]+: (.*)\\.");
    static const std::regex kEnded("Action ended [0-9:]+: (.*)\\. Return value .*");
    static const std::regex kStamped("\\[[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}\\] (.*)");
    std::vector<std::string> lines;
    std::istringstream text(log);
    bool inside = false;
    std::smatch match;
    for (std::string line; std::getline(text, line);)
    {
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        if (std::regex_match(line, match, kStart) || std::regex_match(line, match, kEnded))
        {
            inside = match[1] == action && line.rfind("Action start", 0) == 0;
        }
        else if (inside)
        {
            lines.push_back(std::regex_match(line, match, kStamped) ? match[1].str() : line);
        }
    }
    return lines;
}

TEST_F(MsiSession, TheInstallerLogHoldsTheLinesOfEachActionBetweenItsOwn)
{
    EXPECT_EQ(std::string::npos, InstallWithLog().find("MsiCA  ")) << "off without its value";

    application.SetDword(L"MsiLogDebugLevel", 2).SetDword(L"TimeStampOn", 1);
    const std::string log = InstallWithLog();
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
    EXPECT_EQ(std::string::npos, log.find("DllMain")) << "no action runs while the library loads";
}
