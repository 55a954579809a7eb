#include "util/CProgressReport.h"

IProgressObserver* CProgressReport::s_observer = nullptr;

CProgressReport::Scope::Scope(IProgressObserver* observer) : m_outer(s_observer)
{
    s_observer = observer;
}

CProgressReport::Scope::~Scope()
{
    s_observer = m_outer;
}

void CProgressReport::Begin(const wchar_t* what, DWORD total)
{
    if (s_observer)
    {
        s_observer->Begin(what, total);
    }
}

void CProgressReport::Advance(DWORD done, const wchar_t* item)
{
    if (s_observer)
    {
        s_observer->Advance(done, item);
    }
}

bool CProgressReport::StopRequested()
{
    return s_observer && s_observer->StopRequested();
}
