#pragma once
#include "util/IProgressObserver.h"
#include <windows.h>
#include <msi.h>
#include <string>

// The installer's progress bar and action text while one custom action runs: the one place
// that knows the installation handle, the bar's ticks and how often the installer hears.
// Every action data message carries [1] the subject or the item just done, [2] the steps
// done and [3] all steps (a wait: seconds waited and its limit); the package's ActionText
// template of each action words them.
class CInstallerProgress : public IProgressObserver
{
  public:
    // The ticks that each deferred action of the library moves the bar by, reserved in
    // advance by ReserveTicks.
    static constexpr int kTicksPerAction = 100000;
    // At most one message in this time: a few a second, never one per file.
    static constexpr ULONGLONG kMinIntervalMs = 250;

    // Sends subject as the action's first action data.
    CInstallerProgress(MSIHANDLE install, const wchar_t* subject);
    CInstallerProgress(const CInstallerProgress&) = delete;
    CInstallerProgress& operator=(const CInstallerProgress&) = delete;

    void Begin(const wchar_t* what, DWORD total) override;
    void Advance(DWORD done, const wchar_t* item) override;
    bool StopRequested() const override { return m_stopRequested; }
    // Moves the bar to the end of the action's ticks.
    void Finish();

    // For an immediate action before the script runs: adds to the bar's total the ticks of
    // every deferred action of the library that this installation will run. Their number, or -1
    // where the installation's sequence could not be read.
    static int ReserveTicks(MSIHANDLE install);

  private:
    bool Due() const;
    void SendData(const wchar_t* item, DWORD done, DWORD total);
    void MoveBarTo(int position);
    void Answered(int answer);

    MSIHANDLE m_install;
    // Only the script's own deferred actions had ticks reserved; rollback and commit actions
    // neither move the bar nor are broken off.
    bool m_movesBar;
    bool m_mayStop;
    bool m_stopRequested = false;
    bool m_sentAny = false;
    ULONGLONG m_lastSentMs = 0;
    DWORD m_total = 0;
    // Ticks moved in this action; the work under way owns the span from m_workStart.
    int m_moved = 0;
    int m_workStart = 0;
    int m_workTicks = 0;
};
