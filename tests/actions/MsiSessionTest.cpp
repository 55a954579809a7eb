#include "support/ChildProcess.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include <gtest/gtest.h>
#include <sstream>

// The sample package installed by Wine's msiexec: the data actions run deferred in a real
// installer session and find RUNMODE in their CustomActionData.

namespace
{
const wchar_t kTag[] = L"MsiCA               : ";

class MsiSession : public testing::Test
{
  protected:
    MsiSession() { application.SetDword(L"FileDebugLevel", 2).SetString(L"TraceFile", dir / L"session.log"); }

    // Installs and removes the sample package with the given extra properties; returns the
    // run-mode lines (tags removed) that the action whose entry line is entry wrote.
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
            // The run mode's lines; the actions' own steps follow them.
            if (inside &&
                (line.find(L"RUNMODE") != std::wstring::npos || line.find(L"un mode") != std::wstring::npos ||
                 line.find(L"CustomActionData") != std::wstring::npos))
            {
                lines.push_back(line);
            }
        }
        return lines;
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

TEST_F(MsiSession, RunModeFromTheCommandLineReachesTheBackupThroughCustomActionData)
{
    EXPECT_EQ(FromCustomActionData(L"mOrA", 5), RunAction(L"RUNMODE=mOrA", L"moraCA_EMDataBackup"));
    EXPECT_EQ(FromCustomActionData(L"telix", 1), RunAction(L"RUNMODE=telix", L"moraCA_EMDataBackup"));
    EXPECT_EQ(FromCustomActionData(L"MORA ", 0), RunAction(L"RUNMODE=\"MORA \"", L"moraCA_EMDataBackup"));
    EXPECT_EQ(FromCustomActionData(L"TELIXX", 0), RunAction(L"RUNMODE=TELIXX", L"moraCA_EMDataBackup"));
}

TEST_F(MsiSession, TheRestoreTakesCustomActionDataAsWell)
{
    EXPECT_EQ(FromCustomActionData(L"Telix", 1), RunAction(L"RUNMODE=Telix", L"MoraCA_EMDataRestore"));
    // Run mode 5 determines the run mode once more before it calls the modules.
    std::vector<std::wstring> twice = FromCustomActionData(L"MORA", 5), once = twice;
    twice.insert(twice.end(), once.begin(), once.end() - 1);
    EXPECT_EQ(twice, RunAction(L"RUNMODE=MORA", L"MoraCA_EMDataRestore"));
}

TEST_F(MsiSession, AnAbsentRunModeGivesZeroWithAnEmptyValue)
{
    EXPECT_EQ(FromCustomActionData(L"", 0), RunAction(L"", L"moraCA_EMDataBackup"));
    EXPECT_EQ(FromCustomActionData(L"", 0), RunAction(L"", L"MoraCA_EMDataRestore"));
}

TEST_F(MsiSession, ARunModeTooLongForItsBufferIsNotSet)
{
    // CustomActionData too long for its buffer leaves it empty.
    const std::wstring tooLong(300, L'M');
    const std::vector<std::wstring> emptied = {
        L"Empty property \"RUNMODE\" found! Check for MSI Property \"CustomActionData\"",
        L"MSI Property \"RUNMODE\"=\"\"", L"Run mode set to 0", L"Setup run mode: 0"};
    EXPECT_EQ(emptied, RunAction(L"RUNMODE=" + tooLong, L"MoraCA_EMDataRestore"));
}
