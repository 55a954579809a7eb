// Figures for the extension-module data actions (run mode 0), each a ratio against a
// baseline measured in the same run:
//   (a) moraCA_EMDataBackup + moraCA_EMDataRestore of a 200 MB data folder of 10,000 files
//       against Wine's xcopy /E /I /Y of the same tree out to the backup folder and back;
//   (b) the same backup with the trace at level 6 into an ordinary file and into a
//       memory-mapped ring file, against the trace off;
//   (c) backup + restore with an installer handle whose messages a fake answers at once (the
//       progress bar and action text), against the same without a handle.
// `bench_extmod N installer` runs only (c), N rounds.
#include "CustomActions.h"
#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "trace/CTrace.h"
#include "BenchClock.h"
#include "BenchFiles.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <msiquery.h>
#include <string>
#include <vector>

namespace
{
constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 100;
constexpr int kRounds = 5;

// 10,000 files of 4 to 36 KB (200 MB in all) in 100 folders.
void BuildTree(const std::wstring& root)
{
    std::vector<char> bytes(36 * 1024);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 131 + i / 7);
    CreateDirectoryW(root.c_str(), nullptr);
    for (int f = 0; f < kFolders; ++f)
    {
        const std::wstring folder = root + L"\\folder" + std::to_wstring(f);
        CreateDirectoryW(folder.c_str(), nullptr);
        for (int i = 0; i < kFilesPerFolder; ++i)
        {
            const DWORD size = 4096 + static_cast<DWORD>((f * kFilesPerFolder + i) * 7919 % 32768);
            HANDLE file = CreateFileW((folder + L"\\file" + std::to_wstring(i) + L".dat").c_str(),
                                      GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            DWORD written = 0;
            WriteFile(file, bytes.data(), size, &written, nullptr);
            CloseHandle(file);
        }
    }
}

double TimeIt(UINT(__stdcall* action)(MSIHANDLE))
{
    const double start = Seconds();
    action(0);
    return Seconds() - start;
}

void ReportRatio(const wchar_t* what, const std::vector<double>& times, const std::vector<double>& baseline)
{
    wprintf(L"  %-44ls median %6.2f s, baseline median %6.2f s -> ratio %.2f\n", what, Median(times),
            Median(baseline), Median(baseline) / Median(times));
}

const wchar_t* const kBesideTheCopy[] = {L".previous", L".partial", L".pending", L".restoring"};

// What a completed restore leaves in T: the restored copy and nothing beside it. A copy still
// marked pending would make the next backup keep it and copy nothing; an earlier copy left
// over would be discarded inside the next timing.
bool InRestoredState(const std::wstring& backup)
{
    bool restored = true;
    for (const wchar_t* suffix : kBesideTheCopy)
    {
        if (GetFileAttributesW((backup + suffix).c_str()) != INVALID_FILE_ATTRIBUTES)
        {
            wprintf(L"  NOT FROM A RESTORED STATE: %ls%ls is left\n", backup.c_str(), suffix);
            restored = false;
        }
    }
    return restored;
}

// Each turn starts where an upgrade finds T after the last one: the copy it restored, which
// the backup moves aside and the restore discards, and which xcopy overwrites.
bool CompareWithXcopy(const std::wstring& data, const std::wstring& backup, int rounds)
{
    std::vector<double> backups, restores, xcopyOut, xcopyBack, actions, xcopy;
    moraCA_EMDataBackup(0);
    moraCA_EMDataRestore(0);
    for (int round = 0; round < rounds; ++round)
    {
        for (int turn = 0; turn < 2; ++turn)
        {
            if (!InRestoredState(backup) || !SameCounts(data, backup))
            {
                return false;
            }
            if ((round + turn) % 2 == 0)
            {
                backups.push_back(TimeIt(moraCA_EMDataBackup));
                SameCounts(data, backup);
                restores.push_back(TimeIt(moraCA_EMDataRestore));
                actions.push_back(backups.back() + restores.back());
            }
            else
            {
                xcopyOut.push_back(RunQuietly(L"xcopy \"" + data + L"\" \"" + backup + L"\" /E /I /Y"));
                SameCounts(data, backup);
                xcopyBack.push_back(RunQuietly(L"xcopy \"" + backup + L"\" \"" + data + L"\" /E /I /Y"));
                xcopy.push_back(xcopyOut.back() + xcopyBack.back());
            }
        }
        wprintf(L"  round %d: actions %.2f + %.2f s, xcopy %.2f + %.2f s\n", round + 1, backups.back(),
                restores.back(), xcopyOut.back(), xcopyBack.back());
    }
    wprintf(L"(a) speed against xcopy /E /I /Y (xcopy time / action time), medians of %d rounds:\n", rounds);
    ReportRatio(L"moraCA_EMDataBackup vs xcopy out", backups, xcopyOut);
    ReportRatio(L"moraCA_EMDataRestore vs xcopy back", restores, xcopyBack);
    ReportRatio(L"backup + restore vs xcopy both ways", actions, xcopy);
    return InRestoredState(backup);
}

// Backups with the trace off, at level 6 into an ordinary file and into a ring file, in
// turns, so that the load of the machine falls on all three alike.
void CompareTraceSinks(const std::wstring& backup, const std::wstring& traceFile, int rounds)
{
    std::vector<double> times[3];
    for (int round = 0; round < rounds; ++round)
    {
        for (int sink = 0; sink < 3; ++sink)
        {
            CTestKey global(L"SOFTWARE\\Debug"), application(L"SOFTWARE\\Debug\\MsiCA");
            application.SetDword(L"FileDebugLevel", sink == 0 ? 0 : 6).SetString(L"TraceFile", traceFile);
            application.SetDword(L"TraceFileMemoryMapped", sink == 2).SetDword(L"TraceFileLimit", 64);
            g_Trace.ReadConfig();
            // Every sink's backup copies afresh, with no copy before it and no mark.
            RemoveTree(backup);
            for (const wchar_t* suffix : kBesideTheCopy)
                RemoveTree(backup + suffix);
            times[sink].push_back(TimeIt(moraCA_EMDataBackup));
            DeleteFileW(traceFile.c_str());
        }
        wprintf(L"  round %d: trace off %.2f s, file %.2f s, ring %.2f s\n", round + 1, times[0].back(),
                times[1].back(), times[2].back());
    }
    g_Trace.ReadConfig();
    wprintf(
        L"(b) backup with the trace at level 6 (time with the trace off / time with it), medians of %d:\n",
        rounds);
    ReportRatio(L"ordinary trace file vs trace off", times[1], times[0]);
    ReportRatio(L"memory-mapped ring file (64 MiB) vs trace off", times[2], times[0]);
}
unsigned g_installerMessages = 0;

// In turns, so that the load of the machine falls on both alike; every turn starts from the
// restored state.
bool CompareInstallerMessages(const std::wstring& backup, int rounds)
{
    CFaultInjector injector;
    FAKE_IMPORT(injector, "msi.dll", MsiProcessMessage, [](MSIHANDLE, INSTALLMESSAGE, MSIHANDLE) {
        ++g_installerMessages;
        return IDOK;
    });
    // A deferred action of the script: the bar moves too.
    FAKE_IMPORT(injector, "msi.dll", MsiGetMode,
                [](MSIHANDLE, MSIRUNMODE mode) -> BOOL { return mode == MSIRUNMODE_SCHEDULED; });
    std::vector<double> with, without;
    for (int round = 0; round < rounds; ++round)
    {
        for (int turn = 0; turn < 2; ++turn)
        {
            const MSIHANDLE install = (round + turn) % 2 ? 0x4711 : 0;
            if (!InRestoredState(backup))
            {
                return false;
            }
            const double start = Seconds();
            moraCA_EMDataBackup(install);
            moraCA_EMDataRestore(install);
            (install ? with : without).push_back(Seconds() - start);
        }
        wprintf(L"  round %d: with messages %.2f s, without %.2f s\n", round + 1, with.back(),
                without.back());
    }
    wprintf(
        L"(c) backup + restore, %u installer messages in all (time without / time with), medians of %d:\n",
        g_installerMessages, rounds);
    ReportRatio(L"with an installer handle vs without", with, without);
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    const int rounds = argc > 1 ? atoi(argv[1]) : kRounds;
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring work = std::wstring(temp) + L"msica-bench-emdata";
    const std::wstring data = work + L"\\Data", backupTemp = work + L"\\Temp",
                       backup = backupTemp + L"\\Sentrel";
    RemoveTree(work);
    CreateDirectoryW(work.c_str(), nullptr);
    CreateDirectoryW(backupTemp.c_str(), nullptr);
    BuildTree(data);
    {
        CTestKey vendor(L"SOFTWARE\\Arvetta"), dataKey(L"SOFTWARE\\Arvetta\\Management\\Sentrel\\DATA");
        dataKey.SetString(L"DataRoot", data);
        SetEnvironmentVariableW(L"TMP", backupTemp.c_str());
        const bool installerOnly = argc > 2 && strcmp(argv[2], "installer") == 0;
        if (installerOnly)
        {
            moraCA_EMDataBackup(0);
            moraCA_EMDataRestore(0);
        }
        if ((!installerOnly && !CompareWithXcopy(data, backup, rounds)) ||
            !CompareInstallerMessages(backup, rounds))
        {
            RemoveTree(work);
            return 1;
        }
        if (!installerOnly)
        {
            CompareTraceSinks(backup, work + L"\\trace.log", rounds);
        }
    }
    RemoveTree(work);
    return 0;
}
