#include "CInstallerProgress.h"
#include "util/CUniqueHandle.h"
#include <msidefs.h>
#include <msiquery.h>

namespace
{
// The actions of this library, by the names of their exports.
bool IsLibraryExport(const std::wstring& target)
{
    return target.rfind(L"vrxCA_", 0) == 0 || target.rfind(L"moraCA_", 0) == 0;
}

std::wstring RecordString(MSIHANDLE record, UINT field)
{
    wchar_t empty[1] = L"";
    DWORD length = 0;
    if (MsiRecordGetStringW(record, field, empty, &length) != ERROR_MORE_DATA)
    {
        return {};
    }
    std::wstring text(++length, L'\0');
    MsiRecordGetStringW(record, field, &text[0], &length);
    text.resize(length);
    return text;
}

// A deferred action of the script; rollback and commit actions run only after it.
bool RunsInScript(int type)
{
    return (type & msidbCustomActionTypeInScript) &&
           !(type & (msidbCustomActionTypeRollback | msidbCustomActionTypeCommit));
}
} // namespace

CInstallerProgress::CInstallerProgress(MSIHANDLE install, const wchar_t* subject)
    : m_install(install),
      m_movesBar(MsiGetMode(install, MSIRUNMODE_SCHEDULED) && !MsiGetMode(install, MSIRUNMODE_ROLLBACK) &&
                 !MsiGetMode(install, MSIRUNMODE_COMMIT)),
      m_mayStop(!MsiGetMode(install, MSIRUNMODE_ROLLBACK) && !MsiGetMode(install, MSIRUNMODE_COMMIT))
{
    SendData(subject, 0, 0);
}

void CInstallerProgress::Begin(const wchar_t* what, DWORD total)
{
    m_total = total;
    // Half of what is left, so that work still to come in the action has room too.
    m_workStart = m_moved;
    m_workTicks = (kTicksPerAction - m_moved) / 2;
    if (Due())
    {
        SendData(what, 0, total);
    }
}

void CInstallerProgress::Advance(DWORD done, const wchar_t* item)
{
    const bool last = done >= m_total;
    if (!last && !Due())
    {
        return;
    }
    SendData(item, done, m_total);
    if (m_total > 0)
    {
        const ULONGLONG share = static_cast<ULONGLONG>(m_workTicks) * (last ? m_total : done) / m_total;
        MoveBarTo(m_workStart + static_cast<int>(share));
    }
}

void CInstallerProgress::Finish()
{
    MoveBarTo(kTicksPerAction);
}

bool CInstallerProgress::Due() const
{
    return !m_sentAny || GetTickCount64() - m_lastSentMs >= kMinIntervalMs;
}

void CInstallerProgress::SendData(const wchar_t* item, DWORD done, DWORD total)
{
    m_sentAny = true;
    m_lastSentMs = GetTickCount64();
    CMsiHandle record(MsiCreateRecord(3));
    if (!record || MsiRecordSetStringW(record.Get(), 1, item ? item : L"") != ERROR_SUCCESS)
    {
        return;
    }
    // The subject alone leaves the counts empty.
    if (total > 0)
    {
        MsiRecordSetInteger(record.Get(), 2, static_cast<int>(done));
        MsiRecordSetInteger(record.Get(), 3, static_cast<int>(total));
    }
    Answered(MsiProcessMessage(m_install, INSTALLMESSAGE_ACTIONDATA, record.Get()));
}

// Never backwards and never past the action's ticks: the bar stays within what was reserved.
void CInstallerProgress::MoveBarTo(int position)
{
    if (!m_movesBar || position > kTicksPerAction || position <= m_moved)
    {
        return;
    }
    CMsiHandle record(MsiCreateRecord(2));
    if (!record)
    {
        return;
    }
    MsiRecordSetInteger(record.Get(), 1, 2);
    MsiRecordSetInteger(record.Get(), 2, position - m_moved);
    m_moved = position;
    Answered(MsiProcessMessage(m_install, INSTALLMESSAGE_PROGRESS, record.Get()));
}

void CInstallerProgress::Answered(int answer)
{
    if (answer == IDCANCEL && m_mayStop)
    {
        m_stopRequested = true;
    }
}

int CInstallerProgress::ReserveTicks(MSIHANDLE install)
{
    CMsiHandle database(MsiGetActiveDatabase(install));
    CMsiHandle view;
    if (!database ||
        MsiDatabaseOpenViewW(database.Get(),
                             L"SELECT `InstallExecuteSequence`.`Condition`, `CustomAction`.`Type`, "
                             L"`CustomAction`.`Target` FROM `InstallExecuteSequence`, `CustomAction` WHERE "
                             L"`InstallExecuteSequence`.`Action` = `CustomAction`.`Action`",
                             view.Receive()) != ERROR_SUCCESS ||
        MsiViewExecute(view.Get(), 0) != ERROR_SUCCESS)
    {
        return -1;
    }
    int actions = 0;
    for (CMsiHandle row; MsiViewFetch(view.Get(), row.Receive()) == ERROR_SUCCESS;)
    {
        const std::wstring condition = RecordString(row.Get(), 1);
        if (RunsInScript(MsiRecordGetInteger(row.Get(), 2)) && IsLibraryExport(RecordString(row.Get(), 3)) &&
            (condition.empty() || MsiEvaluateConditionW(install, condition.c_str()) == MSICONDITION_TRUE))
        {
            ++actions;
        }
    }
    CMsiHandle record(MsiCreateRecord(3));
    if (actions > 0 && record)
    {
        MsiRecordSetInteger(record.Get(), 1, 3);
        MsiRecordSetInteger(record.Get(), 2, actions * kTicksPerAction);
        MsiRecordSetInteger(record.Get(), 3, 0);
        MsiProcessMessage(install, INSTALLMESSAGE_PROGRESS, record.Get());
    }
    return actions;
}
